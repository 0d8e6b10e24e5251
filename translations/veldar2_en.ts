<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>VELDAR2</name>
    <message>
        <source>Veldar [ﾊﾞｰｼﾞｮﾝ情報]</source>
        <translation>Veldar [About]</translation>
    </message>
    <message>
        <source>ﾛｸﾞ(&amp;L)</source>
        <translation>&amp;Log</translation>
    </message>
    <message>
        <source>ﾛｸﾞを見る(&amp;L)</source>
        <translation>&amp;View Log</translation>
    </message>
    <message>
        <source>ﾛｸﾞを消す(&amp;D)</source>
        <translation>&amp;Delete Log</translation>
    </message>
    <message>
        <source>ﾛｸﾞｻｲｽﾞを変更する(&amp;C)</source>
        <translation>&amp;Change Log Size...</translation>
    </message>
    <message>
        <source>ﾍﾙﾌﾟ(&amp;H)</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>ﾊﾞｰｼﾞｮﾝ情報(&amp;A)</source>
        <translation>&amp;About Veldar</translation>
    </message>
    <message>
        <source>バージョン情報 VELDAR2(&amp;A)...</source>
        <translation>&amp;About VELDAR2...</translation>
    </message>
    <message>
        <source>検索</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>ﾌｧｲﾙ・ﾎﾙﾀﾞを消さない (/NODEL)</source>
        <translation>Keep files and folders gone from the source (/NODEL)</translation>
    </message>
    <message>
        <source>強制的に書きつぶす (/FORCE)</source>
        <translation>Never overwrite existing copies (/NOFORCE)</translation>
    </message>
    <message>
        <source>レストア</source>
        <translation>Restore</translation>
    </message>
    <message>
        <source>バックアップ</source>
        <translation>Back Up</translation>
    </message>
    <message>
        <source>ｷｬﾝｾﾙ</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>バックアップファイル・ディレクトリ（元）</source>
        <translation>File or folder to back up (source)</translation>
    </message>
    <message>
        <source>バックアップディレクトリ（先）</source>
        <translation>Backup folder (destination)</translation>
    </message>
    <message>
        <source>バックアップ世代数</source>
        <translation>Generations to keep</translation>
    </message>
    <message>
        <source>時間比較をしない (/NOTIME)</source>
        <translation>Do not compare times (/NOTIME)</translation>
    </message>
    <message>
        <source>レストアするディレクトリ・ファイル（元）</source>
        <translation>Generation to restore (source)</translation>
    </message>
    <message>
        <source>復元するディレクトリ（先）</source>
        <translation>Folder to restore into (destination)</translation>
    </message>
    <message>
        <source>ﾚｽﾄｱ</source>
        <translation>Restore</translation>
    </message>
    <message>
        <source>ログサイズ</source>
        <translation>Log size</translation>
    </message>
    <message>
        <source>成功ログを記録する。</source>
        <translation>Log what was done</translation>
    </message>
    <message>
        <source>スキップログを記録する。</source>
        <translation>Log what was skipped</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>バックアップ  Version 2.00</source>
        <translation>Backup  Version 2.00</translation>
    </message>
    <message>
        <source>Qt 6 (LGPLv3) を使用しています。</source>
        <translation>Uses Qt 6 (LGPLv3).</translation>
    </message>
    <message>
        <source>コピーしています...</source>
        <translation>Copying...</translation>
    </message>
    <message>
        <source> ファイル、</source>
        <translation> files, </translation>
    </message>
    <message>
        <source>調べています... </source>
        <translation>Scanning... </translation>
    </message>
    <message>
        <source>中止しています...</source>
        <translation>Stopping...</translation>
    </message>
    <message>
        <source>ディスクに書き込んでいます...</source>
        <translation>Writing to the disk...</translation>
    </message>
    <message>
        <source>、残り </source>
        <translation>, left </translation>
    </message>
    <message>
        <source>開く</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>すべてのファイル(*.*)</source>
        <translation>All files (*.*)</translation>
    </message>
    <message>
        <source>バックアップするホルダﾞ</source>
        <translation>Folder to back up</translation>
    </message>
    <message>
        <source>復元するホルダﾞ</source>
        <translation>Folder to restore into</translation>
    </message>
    <message>
        <source>ファイルを選ぶ(&amp;F)...</source>
        <translation>Choose a &amp;File...</translation>
    </message>
    <message>
        <source>ホルダを選ぶ(&amp;D)...</source>
        <translation>Choose a Fol&amp;der...</translation>
    </message>
    <message>
        <source>閉じる</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>ファイルを開けません。</source>
        <translation>Cannot open the file.</translation>
    </message>
    <message>
        <source>パラメタの指定誤りです。</source>
        <translation>The parameters are wrong: </translation>
    </message>
    <message>
        <source>復元するディレクトリを入力してください。</source>
        <translation>Enter the folder to restore into.</translation>
    </message>
    <message>
        <source>バックアップ完了しました。</source>
        <translation>The backup is complete.</translation>
    </message>
    <message>
        <source>レストア完了しました。</source>
        <translation>The restore is complete.</translation>
    </message>
    <message>
        <source>レストアに失敗しました。</source>
        <translation>The restore failed: </translation>
    </message>
    <message>
        <source>レストアできません。</source>
        <translation>Cannot restore: </translation>
    </message>
    <message>
        <source>バックアップは終わりましたが、失敗した操作があります。詳しくはログを見てください。</source>
        <translation>The backup finished, but some operations failed. See the log for details.</translation>
    </message>
    <message>
        <source>バックアップは終わりましたが、失敗した操作があります。今回の処理はログに記録されていません。</source>
        <translation>The backup finished, but some operations failed. This run is not in the log.</translation>
    </message>
    <message>
        <source>書き込むディレクトリの空き容量が足りません。</source>
        <translation>There is not enough free space in the folder written to.</translation>
    </message>
    <message>
        <source>バックアップは終わりましたが、コピーの途中でなくなったファイルやフォルダは含まれていません。</source>
        <translation>The backup finished, but files or folders that vanished while it was copied are not in it.</translation>
    </message>
    <message>
        <source>ほかのバックアップかレストアがこの書き込むディレクトリを使っています。終わってからやり直してください。</source>
        <translation>Another backup or restore is using the folder written to. Try again when it has finished.</translation>
    </message>
    <message>
        <source>[バックアップするファイル]</source>
        <translation>[file or folder to back up]</translation>
    </message>
    <message>
        <source>[書き込むディレクトリ]</source>
        <translation>[folder written to]</translation>
    </message>
    <message>
        <source>[世代数]</source>
        <translation>[generations]</translation>
    </message>
    <message>
        <source>[世代]</source>
        <translation>[generation]</translation>
    </message>
    <message>
        <source>[復元するディレクトリ]</source>
        <translation>[folder to restore into]</translation>
    </message>
    <message>
        <source>[復元するファイル]</source>
        <translation>[file to restore]</translation>
    </message>
    <message>
        <source>ルートディレクトリはバックアップできません。</source>
        <translation>The root folder cannot be backed up.</translation>
    </message>
    <message>
        <source>バックアップするディレクトリが空です。</source>
        <translation>The folder to back up is empty.</translation>
    </message>
    <message>
        <source>バックアップするディレクトリが、その世代のディレクトリの中にあります。</source>
        <translation>The folder to back up is inside one of its own generations.</translation>
    </message>
    <message>
        <source>バックアップするディレクトリと同じか、その中にあるディレクトリには書き込めません。</source>
        <translation>Cannot write into the folder to back up or into a folder inside it.</translation>
    </message>
    <message>
        <source>バックアップするディレクトリが書き込むディレクトリの中にあるため、世代数は2以上にしてください。</source>
        <translation>The folder to back up is inside the folder written to: keep 2 generations or more.</translation>
    </message>
    <message>
        <source>必要: </source>
        <translation>needed: </translation>
    </message>
    <message>
        <source>、空き: </source>
        <translation>, free: </translation>
    </message>
    <message>
        <source>世代のディレクトリ名に「_」がないため、復元先を決められません。</source>
        <translation>The generation's folder name has no &quot;_&quot;, so the folder to restore into cannot be named.</translation>
    </message>
    <message>
        <source>世代のファイル名から、復元するファイル名を作れません。</source>
        <translation>No name to restore the file under can be made from the generation's name.</translation>
    </message>
    <message>
        <source>失敗した操作があります。詳しくはログを見てください。</source>
        <translation>Some operations failed. See the log for details.</translation>
    </message>
    <message>
        <source>失敗した操作があります。今回の処理はログに記録されていません。</source>
        <translation>Some operations failed. This run is not in the log.</translation>
    </message>
    <message>
        <source>レストアを中止しました。</source>
        <translation>The restore was stopped.</translation>
    </message>
    <message>
        <source>復元先のディレクトリが、バックアップディレクトリと同じか、その中か、それを含んでいます。</source>
        <translation>The folder to restore into is the backup folder, is inside it, or contains it.</translation>
    </message>
    <message>
        <source>ﾛｸﾞを消してよろしいですか？</source>
        <translation>Delete the log?</translation>
    </message>
    <message>
        <source>整数を入力してください。</source>
        <translation>Enter a whole number.</translation>
    </message>
    <message>
        <source>%1 から %2 までの整数を入力してください。</source>
        <translation>Enter a whole number from %1 to %2.</translation>
    </message>
    <message>
        <source>バックアップを中止しました。世代は置き換えていません。</source>
        <translation>The backup was stopped. No generation was replaced.</translation>
    </message>
</context>
</TS>
