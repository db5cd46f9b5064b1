#!/usr/bin/env bash
# build-msi.sh VERSION NORVEX.EXE ICON OUTPUT.msi: NORVEX's Windows installer, made by msitools'
# wixl from norvex.wxs, then finished with msibuild where wixl (0.101) cannot say what is meant:
#   - the start-at-logon shortcut's condition (wixl takes no Condition in a Component);
#   - the upgrade search includes this very version, so that another build of it replaces the
#     installed one instead of going in beside it (wixl's MajorUpgrade has no
#     AllowSameVersionUpgrades, and its UpgradeVersion ignores IncludeMaximum);
#   - AUTOSTART is a secure public property, passed on to the installing service whatever the UI;
#   - the Users group may change the settings folder (wixl writes no permission tables).
# The package is written to OUTPUT only once it is whole.
set -euo pipefail
if [ $# -ne 4 ]; then
    echo "usage: build-msi.sh VERSION NORVEX.EXE ICON OUTPUT.msi" >&2
    exit 2
fi
version=$1 exe=$2 icon=$3 output=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
msi="$work/norvex.msi"

# wixl finds the files by names relative to the .wxs (an absolute name fails): all three are
# copied together. It reports what it does not implement on standard error, also for a good
# package, so that is shown only on failure.
cp "$here/norvex.wxs" "$work/norvex.wxs"
cp "$exe" "$work/NORVEX.EXE"
cp "$icon" "$work/norvex.ico"
if ! (cd "$work" && wixl --arch x64 -D Version="$version" -D Exe=NORVEX.EXE -D Icon=norvex.ico \
                       -o norvex.msi norvex.wxs) 2>"$work/wixl.log"; then
    cat "$work/wixl.log" >&2
    exit 1
fi

query() {
    msibuild "$msi" -q "$1" || { echo "build-msi: query failed: $1" >&2; exit 1; }
}
property() {
    # The export has CR LF line ends.
    msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' -v name="$1" '$1 == name { print $2 }'
}

query "UPDATE \`Component\` SET \`Condition\` = 'AUTOSTART <> \"0\"'
       WHERE \`Component\` = 'AutoStart'"

# The Upgrade table's key holds its Attributes: the row is replaced, not updated.
# 513 = migrate feature states (1) + include the maximum version (512).
upgrade_code=$(property UpgradeCode)
query "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
query "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`)
       VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"

secure=$(property SecureCustomProperties)
query "UPDATE \`Property\` SET \`Value\` = 'AUTOSTART;$secure'
       WHERE \`Property\` = 'SecureCustomProperties'"

# SYSTEM and Administrators full control, Users modify (read, write, create, delete), for the
# folder and everything made in it; what the folder inherits from ProgramData stays.
query "CREATE TABLE \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\` CHAR(72) NOT NULL,
       \`LockObject\` CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL,
       \`SDDLText\` LONGCHAR NOT NULL, \`Condition\` CHAR(255)
       PRIMARY KEY \`MsiLockPermissionsEx\`)"
query "INSERT INTO \`MsiLockPermissionsEx\`
       (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDLText\`)
       VALUES ('SettingsForUsers', 'SETTINGSDIR', 'CreateFolder',
               'D:AI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)')"

mv "$msi" "$output"
