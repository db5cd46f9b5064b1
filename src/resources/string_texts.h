/* The string table's texts, in UTF-8: norvex.rc stores them in the Windows program (which reads
   them as code page 932), and the Linux program prints them from here. One place, so the two
   programs never say different things. */
#ifndef NORVEX_STRING_TEXTS_H
#define NORVEX_STRING_TEXTS_H

#define TEXT_1001 "%s を強制切断しますか？"
#define TEXT_1002 "設定ファイルの読み込みに失敗しました"
#define TEXT_1003 "ﾃﾞｰﾀの書き込みに失敗しました"
#define TEXT_1004 "条件を追加できる空きエリアがありません"
#define TEXT_1005 "追加できるCOMポートが存在しません"
#define TEXT_1006 "ﾎﾟｰﾄの削除に失敗しました"
#define TEXT_1007 "ﾎﾟｰﾄの追加に失敗しました"
#define TEXT_1008 "ﾎﾟｰﾄの更新に失敗しました"
#define TEXT_1009 "TELNETﾎﾟｰﾄの設定は次回の起動から有効になります"
#define TEXT_1011 "Window クラスの登録に失敗しました"
#define TEXT_1012 "Window の作成に失敗しました"
#define TEXT_1013 "サーバスレッドの作成に失敗しました"
#define TEXT_1014 "サーバスレッドは強制終了されました"
#define TEXT_1015 "終了してもよろしいですか？"
#define TEXT_1016 "TELNETﾎﾟｰﾄ %d で待ち受けできません"
#define TEXT_1101 "ｱﾄﾞﾚｽ"
#define TEXT_1102 "許可/拒否"
#define TEXT_1103 "許可"
#define TEXT_1104 "拒否"
#define TEXT_1105 "ﾎﾟｰﾄの追加"
#define TEXT_1106 "ﾎﾟｰﾄの設定"
#define TEXT_1107 "ﾎﾟｰﾄ"
#define TEXT_1108 "ｱﾄﾞﾚｽ"

#endif
