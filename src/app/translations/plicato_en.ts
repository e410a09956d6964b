<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>plicato::TForm1</name>
    <message>
        <source>已停止</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <source>正在停止…</source>
        <translation>Stopping…</translation>
    </message>
    <message>
        <source>提示：</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>文件有密码保护，密码不对或没有提供</source>
        <translation>the file is password-protected and the password was wrong or not given</translation>
    </message>
    <message>
        <source>无法打开文件（不存在或没有读取权限）</source>
        <translation>the file cannot be opened (it is missing or not readable)</translation>
    </message>
    <message>
        <source>不是可以读取的Excel工作簿</source>
        <translation>not a readable Excel workbook</translation>
    </message>
    <message>
        <source>文件已损坏或格式不受支持</source>
        <translation>the file is damaged or its format is not supported</translation>
    </message>
    <message>
        <source>文件中没有要合并的工作表</source>
        <translation>the file has no sheet to merge</translation>
    </message>
    <message>
        <source>输出文件是要合并的文件之一，请选择其他保存路径。</source>
        <translation>The output file is one of the files to merge: choose another save path.</translation>
    </message>
    <message>
        <source>待处理XLS目录</source>
        <translation>Folder to merge</translation>
    </message>
    <message>
        <source>浏览</source>
        <translation>Browse…</translation>
    </message>
    <message>
        <source>合并后保存路径</source>
        <translation>Save merged file as</translation>
    </message>
    <message>
        <source>当前读取的文件</source>
        <translation>Reading</translation>
    </message>
    <message>
        <source>首列标记单文件行数</source>
        <translation>Mark each file&apos;s row count in the first column</translation>
    </message>
    <message>
        <source>背景音乐</source>
        <translation>Background music</translation>
    </message>
    <message>
        <source>跳过无法读取的文件</source>
        <translation>Skip files that cannot be read</translation>
    </message>
    <message>
        <source>包含XLSX文件</source>
        <translation>Include .xlsx files</translation>
    </message>
    <message>
        <source>包含CSV文件</source>
        <translation>Include CSV files</translation>
    </message>
    <message>
        <source>保留数值类型</source>
        <translation>Keep value types</translation>
    </message>
    <message>
        <source>数字、日期、公式结果按原类型保留；只复制有值的单元格，跳过空行</source>
        <translation>Numbers, dates and formula results keep their types; only cells with a value are copied and empty rows are left out</translation>
    </message>
    <message>
        <source>添加来源列</source>
        <translation>Add a source column</translation>
    </message>
    <message>
        <source>第一列写出每一行来自哪个文件</source>
        <translation>The first column names the file each row came from</translation>
    </message>
    <message>
        <source>表头行数</source>
        <translation>Header rows</translation>
    </message>
    <message>
        <source>第一个文件的前几行作为表头只复制一次，其余文件的这几行跳过</source>
        <translation>The first rows of the first file are copied once as the header; the same rows of every other file are skipped</translation>
    </message>
    <message>
        <source>按列名对齐</source>
        <translation>Match columns by header</translation>
    </message>
    <message>
        <source>按最后一行表头的列名对齐各文件的列；缺少的列留空，新增的列加在后面</source>
        <translation>Lines up the files' columns by the names in the last header row; a column a file lacks stays empty, new columns are added at the end</translation>
    </message>
    <message>
        <source>工作表</source>
        <translation>Sheet</translation>
    </message>
    <message>
        <source>第一个</source>
        <translation>First</translation>
    </message>
    <message>
        <source>全部</source>
        <translation>All</translation>
    </message>
    <message>
        <source>第一个工作表、全部工作表，或输入工作表的名称或序号（从1开始）</source>
        <translation>The first sheet, all sheets, or type a sheet&apos;s name or number (counted from 1)</translation>
    </message>
    <message>
        <source>状态：</source>
        <translation>Status:</translation>
    </message>
    <message>
        <source>共有0个XLS文件 已合并0个</source>
        <translation>0 files found, 0 merged</translation>
    </message>
    <message>
        <source>文件列表</source>
        <translation>Files</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>移出列表</source>
        <translation>Remove from list</translation>
    </message>
    <message>
        <source>增加文件</source>
        <translation>Add file…</translation>
    </message>
    <message>
        <source>向上移动</source>
        <translation>Move up</translation>
    </message>
    <message>
        <source>向下移动</source>
        <translation>Move down</translation>
    </message>
    <message>
        <source>清空列表</source>
        <translation>Clear list</translation>
    </message>
    <message>
        <source>删除文件</source>
        <translation>Delete file</translation>
    </message>
    <message>
        <source>详细信息</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>打开文件夹</source>
        <translation>Open folder</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>密码错误，请重新输入：</source>
        <translation>Wrong password, please enter it again:</translation>
    </message>
    <message>
        <source>请输入密码：</source>
        <translation>Enter the password:</translation>
    </message>
    <message>
        <source>全部跳过</source>
        <translation>Skip all</translation>
    </message>
    <message>
        <source>请选择保存路径</source>
        <translation>Choose where to save</translation>
    </message>
    <message>
        <source>无法打开，请复制后自行打开：
</source>
        <translation>Could not open it; copy it and open it yourself:
</translation>
    </message>
    <message>
        <source>没有合并任何文件。</source>
        <translation>Nothing was merged.</translation>
    </message>
    <message>
        <source>工作表编号从1开始：“%1”不是工作表编号。</source>
        <translation>Sheet numbers count from 1: &quot;%1&quot; is no sheet number.</translation>
    </message>
    <message>
        <source>保存路径“%1”是一个网址，不是文件路径。请输入或选择一个文件路径。</source>
        <translation>The save path &quot;%1&quot; is an address, not a file path. Type or choose a file path.</translation>
    </message>
    <message>
        <source>保存路径“%1”是一个文件夹。请在后面加上文件名，例如“合并结果.xls”。</source>
        <translation>The save path &quot;%1&quot; is a folder. Add a file name to it, such as &quot;merged.xls&quot;.</translation>
    </message>
    <message>
        <source>保存路径“%1”不是普通文件，无法写入。</source>
        <translation>The save path &quot;%1&quot; is not a regular file and cannot be written.</translation>
    </message>
    <message>
        <source>保存路径的文件夹“%1”不存在。</source>
        <translation>The save path&apos;s folder &quot;%1&quot; does not exist.</translation>
    </message>
    <message>
        <source>没有在文件夹“%1”中写入文件的权限。</source>
        <translation>You have no permission to write files in the folder &quot;%1&quot;.</translation>
    </message>
    <message>
        <source>请先选择待处理XLS目录</source>
        <translation>Choose the folder to merge first</translation>
    </message>
    <message>
        <source>请先选择合并后保存路径</source>
        <translation>Choose where to save the merged file first</translation>
    </message>
    <message>
        <source>文件列表为空，没有要合并的文件</source>
        <translation>The list is empty: there is nothing to merge</translation>
    </message>
    <message>
        <source>保存路径“%1”就是列表中的文件“%2”，合并会覆盖它。
请另选保存路径，未写入任何文件。</source>
        <translation>The save path &quot;%1&quot; is the listed file &quot;%2&quot;; merging would overwrite it.
Choose another save path. Nothing was written.</translation>
    </message>
    <message>
        <source>文件已存在，要覆盖吗？</source>
        <translation>The file exists. Overwrite it?</translation>
    </message>
    <message>
        <source>旁边有以前合并留下的续接文件，本次合并不一定会覆盖它们：</source>
        <translation>Beside it are continuation files of an earlier merge, which this merge may not overwrite:</translation>
    </message>
    <message>
        <source>移到回收站后合并</source>
        <translation>Move them to the trash and merge</translation>
    </message>
    <message>
        <source>永久删除后合并</source>
        <translation>Delete them permanently and merge</translation>
    </message>
    <message>
        <source>保留它们并合并</source>
        <translation>Keep them and merge</translation>
    </message>
    <message>
        <source>覆盖</source>
        <translation>Overwrite</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>以下文件无法移走：
%1</source>
        <translation>These files could not be moved away:
%1</translation>
    </message>
    <message>
        <source>来源文件</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>请先停止！</source>
        <translation>Stop first!</translation>
    </message>
    <message>
        <source>共有%1个XLS文件 已合并%2个</source>
        <translation>%1 files found, %2 merged</translation>
    </message>
    <message>
        <source>确定要删除文件“%1”吗？</source>
        <translation>Delete the file &quot;%1&quot;?</translation>
    </message>
    <message>
        <source>文件将移到回收站。</source>
        <translation>It will be moved to the trash.</translation>
    </message>
    <message>
        <source>这里没有回收站，文件将被永久删除，无法恢复。</source>
        <translation>There is no trash here: the file will be deleted permanently and cannot be restored.</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>无法写入输出文件“%1”。</source>
        <translation>The output file &quot;%1&quot; could not be written.</translation>
    </message>
    <message>
        <source>内存不足，无法写入输出文件“%1”。</source>
        <translation>Not enough memory to write the output file &quot;%1&quot;.</translation>
    </message>
    <message>
        <source>内存不足，无法合并文件“%1”。</source>
        <translation>Not enough memory to merge the file &quot;%1&quot;.</translation>
    </message>
    <message>
        <source>内存不足</source>
        <translation>not enough memory</translation>
    </message>
    <message>
        <source>合并失败：%1。</source>
        <translation>The merge failed: %1.</translation>
    </message>
    <message>
        <source>无法合并文件“%1”：%2。</source>
        <translation>The file &quot;%1&quot; could not be merged: %2.</translation>
    </message>
    <message>
        <source>没有保存任何行。</source>
        <translation>No rows were saved.</translation>
    </message>
    <message>
        <source>此前合并的行已保存到“%1”。</source>
        <translation>The rows merged before it were saved to &quot;%1&quot;.</translation>
    </message>
    <message>
        <source>”、“</source>
        <translation>&quot;, &quot;</translation>
    </message>
    <message>
        <source>其余文件没有合并。</source>
        <translation>The remaining files were not merged.</translation>
    </message>
    <message>
        <source>合并已停止，列表中其余的文件没有合并。</source>
        <translation>The merge was stopped; the remaining files of the list were not merged.</translation>
    </message>
    <message>
        <source>合并完成。</source>
        <translation>The merge is complete.</translation>
    </message>
    <message>
        <source>已合并%1个文件，共写入%2行。</source>
        <translation>%1 files merged, %2 rows written.</translation>
    </message>
    <message>
        <source>没有写入任何文件：没有可合并的行。</source>
        <translation>No file was written: there were no rows to merge.</translation>
    </message>
    <message>
        <source>输出文件：</source>
        <translation>Output files:</translation>
    </message>
    <message>
        <source>以下%1个文件夹无法读取，其中的文件已跳过：</source>
        <translation>%1 folders could not be read; the files in them were skipped:</translation>
    </message>
    <message>
        <source>无法读取文件夹“%1”（%2），其中的文件不在列表中。
勾选“跳过无法读取的文件”可合并其余文件，未写入任何文件。</source>
        <translation>The folder “%1” could not be read (%2): its files are not in the list.
Tick “Skip files that cannot be read” to merge the others. Nothing was written.</translation>
    </message>
    <message>
        <source>以下%1个文件无法读取，已跳过：</source>
        <translation>%1 files could not be read and were skipped:</translation>
    </message>
    <message>
        <source>：</source>
        <translation>: </translation>
    </message>
    <message>
        <source>合并时的说明：</source>
        <translation>Remarks:</translation>
    </message>
    <message>
        <source>以下文件是以前合并留下的，不属于本次结果：</source>
        <translation>These files were left by an earlier merge and are not part of this result:</translation>
    </message>
    <message>
        <source>合并已停止</source>
        <translation>Merge stopped</translation>
    </message>
    <message>
        <source>合并完成</source>
        <translation>Merge complete</translation>
    </message>
    <message>
        <source>%1/%2个文件</source>
        <translation>%1/%2 files</translation>
    </message>
    <message>
        <source>，当前文件已复制%1行</source>
        <translation>, %1 rows of the current file copied</translation>
    </message>
    <message>
        <source>正在合并第%1个XLS文件</source>
        <translation>Merging file %1</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>回收站没有接收它，文件留在原处</source>
        <translation>No trash took it; the file was left where it was</translation>
    </message>
    <message>
        <source>这是一个文件夹</source>
        <translation>This is a folder</translation>
    </message>
    <message>
        <source>删除失败：%1
%2</source>
        <translation>Could not delete %1
%2</translation>
    </message>
    <message>
        <source>文件中没有名为“%1”的工作表</source>
        <translation>The file has no sheet named &quot;%1&quot;</translation>
    </message>
    <message>
        <source>文件中没有第%1个工作表</source>
        <translation>The file has no sheet %1</translation>
    </message>
    <message>
        <source>背景音乐无法播放：没有可用的声音设备</source>
        <translation>The background music cannot play: there is no sound device</translation>
    </message>
    <message>
        <source>背景音乐无法播放</source>
        <translation>The background music cannot play</translation>
    </message>
    <message>
        <source>Excel 97-2003 工作簿</source>
        <translation>Excel 97-2003 Workbook</translation>
    </message>
    <message>
        <source>Excel 工作簿</source>
        <translation>Excel Workbook</translation>
    </message>
    <message>
        <source>输出文件：%1</source>
        <translation>Output: %1</translation>
    </message>
    <message>
        <source>文件：%1</source>
        <translation>File: %1</translation>
    </message>
    <message>
        <source>原因：%1</source>
        <translation>Reason: %1</translation>
    </message>
    <message>
        <source>程序的原文：</source>
        <translation>The program's own words: </translation>
    </message>
    <message>
        <source>“%1”</source>
        <translation>&quot;%1&quot;</translation>
    </message>
    <message>
        <source>没有合并任何行：工作表中没有数据。</source>
        <translation>Gave no rows: the sheet holds no values.</translation>
    </message>
    <message>
        <source>没有合并任何行：工作簿中没有工作表。</source>
        <translation>Gave no rows: the workbook has no worksheet.</translation>
    </message>
    <message>
        <source>表头%1之下没有数据行。</source>
        <translation>Gave no rows below its %1 of header.</translation>
    </message>
    <message>
        <source>（统计被停止）</source>
        <translation> (the count was stopped)</translation>
    </message>
    <message>
        <source>（其余部分无法读取：%1）</source>
        <translation> (the rest of the sheet could not be read: %1)</translation>
    </message>
    <message>
        <source>合并在输出文件分割处停止：本表已合并%1，其余未合并。</source>
        <translation>Stopped at a split after %1 of the sheet: the rest of it was not merged.</translation>
    </message>
    <message>
        <source>合并在此工作表之前停止：它和其后的工作表未合并。</source>
        <translation>Stopped before this sheet: it and the sheets after it were not merged.</translation>
    </message>
    <message>
        <source>找不到该工作表，已跳过（%1）。</source>
        <translation>Passed over: the sheet could not be found (%1).</translation>
    </message>
    <message>
        <source>第%1列（%2列）之后的列未合并</source>
        <translation>Columns after column %2 (number %1) were not merged</translation>
    </message>
    <message>
        <source>：输出文件共%1列，前%2列用于来源列和标记列</source>
        <translation>: the output has %1 columns, the first %2 for the source and mark</translation>
    </message>
    <message>
        <source>；该表的数据一直到%1列。</source>
        <translation>; the sheet has values up to column %1.</translation>
    </message>
    <message>
        <source>从第%1行起有无法按其编码解码的字节，已读作U+FFFD。</source>
        <translation>Bytes the encoding cannot decode, first on line %1, were read as U+FFFD.</translation>
    </message>
    <message>
        <source>第%1行的引号没有闭合：文件的其余部分已读作该字段。</source>
        <translation>The quote opened on line %1 is never closed: the rest of the file was read as its field.</translation>
    </message>
    <message>
        <source>CSV文件只有一个工作表：已合并该表，而非所选的工作表。</source>
        <translation>A CSV file has one sheet: it was merged in place of the sheet asked for.</translation>
    </message>
    <message>
        <source>输出文件容纳不下更多的数字格式：部分数字以常规格式显示。</source>
        <translation>Numbers of some formats show as General: the output holds no more number formats.</translation>
    </message>
    <message>
        <source>缺少列：%1</source>
        <translation>Lacks the columns %1</translation>
    </message>
    <message>
        <source>新增列：%1</source>
        <translation>brings the new columns %1</translation>
    </message>
    <message>
        <source>；</source>
        <translation>; </translation>
    </message>
    <message>
        <source>。</source>
        <translation>.</translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>表头全部为空：各列按位置对齐。</source>
        <translation>Its header cells are all empty: its columns were matched by position.</translation>
    </message>
    <message>
        <source>列“%1”未合并：输出文件共%2列</source>
        <translation>Columns %1 were not merged: the output has %2 columns</translation>
    </message>
    <message>
        <source>，前%1列用于来源列和标记列</source>
        <translation>, the first %1 for the source and mark</translation>
    </message>
    <message>
        <source>%1列的数据未合并：输出文件中没有对应的列。</source>
        <translation>Values in columns %1 were not merged: the output has no column for them.</translation>
    </message>
    <message>
        <source>最后一行表头与第一个文件的不同：各列按位置合并；勾选“按列名对齐”可按列名对齐各列。</source>
        <translation>Its last header row differs from the first file's: its columns were stacked by position; &quot;Match columns by header&quot; lines them up by name.</translation>
    </message>
    <message>
        <source>工作表“%1”：</source>
        <translation>Sheet &quot;%1&quot;: </translation>
    </message>
    <message>
        <source>位置：工作表“%1”的第一行</source>
        <translation>Where: the first row of sheet &quot;%1&quot;</translation>
    </message>
    <message>
        <source>位置：工作表“%1”第%2行之后</source>
        <translation>Where: sheet &quot;%1&quot;, after row %2</translation>
    </message>
    <message>
        <source>该文件出错之前的行留在“%1”中（该格式不能删除已写入的行）。</source>
        <translation>Its rows before the failure stay in &quot;%1&quot;, which cannot drop rows.</translation>
    </message>
    <message>
        <source>该文件出错之前的行已有一部分写入到“%1”为止的输出文件中。</source>
        <translation>Its rows before the failure up to &quot;%1&quot; had already been written.</translation>
    </message>
    <message numerus="yes">
        <source>%n行</source>
        <translation>
            <numerusform>%n row</numerusform>
            <numerusform>%n rows</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>没有合并任何行：第%1行没有文字，合并在此停止；其后至少有%n行有数据未合并%2。</source>
        <translation>
            <numerusform>Gave no rows: stopped at row %1, which has no text; at least %n row with values was not merged%2.</numerusform>
            <numerusform>Gave no rows: stopped at row %1, which has no text; at least %n rows with values were not merged%2.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>没有合并任何行：第%1行没有文字，合并在此停止；其后有%n行有数据未合并。</source>
        <translation>
            <numerusform>Gave no rows: stopped at row %1, which has no text; %n row with values was not merged.</numerusform>
            <numerusform>Gave no rows: stopped at row %1, which has no text; %n rows with values were not merged.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>第%1行没有文字，已合并其上的%2后在此停止；从该行起至少有%n行有数据未合并%3。</source>
        <translation>
            <numerusform>Stopped at row %1, which has no text, after %2: at least %n row with values from there on was not merged%3.</numerusform>
            <numerusform>Stopped at row %1, which has no text, after %2: at least %n rows with values from there on were not merged%3.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>第%1行没有文字，已合并其上的%2后在此停止；从该行起有%n行有数据未合并。</source>
        <translation>
            <numerusform>Stopped at row %1, which has no text, after %2: %n row with values from there on was not merged.</numerusform>
            <numerusform>Stopped at row %1, which has no text, after %2: %n rows with values from there on were not merged.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>plicato::TForm2</name>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Tarnwick软件</source>
        <translation>Tarnwick Software</translation>
    </message>
    <message>
        <source>各种程序定制 </source>
        <translation>Custom software of every kind </translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>版权所有 © 2026 Tarnwick Software，以 MIT 许可证发布</source>
        <translation>Copyright © 2026 Tarnwick Software, released under the MIT licence</translation>
    </message>
</context>
<context>
    <name>plicato::TSelectDirDialog</name>
    <message>
        <source>Select Directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Directory &amp;Name:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Directories:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Files: (*.*)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>D&amp;rives:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ne&amp;twork...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unable to create directory %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
