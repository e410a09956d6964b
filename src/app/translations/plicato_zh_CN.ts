<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="zh_CN">
<context>
    <name>plicato::TForm1</name>
    <message>
        <source>已停止</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>正在停止…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>提示：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件有密码保护，密码不对或没有提供</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无法打开文件（不存在或没有读取权限）</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>不是可以读取的Excel工作簿</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件已损坏或格式不受支持</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件中没有要合并的工作表</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输出文件是要合并的文件之一，请选择其他保存路径。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>待处理XLS目录</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>浏览</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>合并后保存路径</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>当前读取的文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>首列标记单文件行数</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>背景音乐</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>跳过无法读取的文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>包含XLSX文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>包含CSV文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保留数值类型</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>数字、日期、公式结果按原类型保留；只复制有值的单元格，跳过空行</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>添加来源列</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>第一列写出每一行来自哪个文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>表头行数</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>第一个文件的前几行作为表头只复制一次，其余文件的这几行跳过</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>按列名对齐</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>按最后一行表头的列名对齐各文件的列；缺少的列留空，新增的列加在后面</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>工作表</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>第一个</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>全部</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>第一个工作表、全部工作表，或输入工作表的名称或序号（从1开始）</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>状态：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>共有0个XLS文件 已合并0个</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件列表</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>关于</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>退出</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>移出列表</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>增加文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>向上移动</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>向下移动</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>清空列表</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>删除文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>详细信息</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>打开文件夹</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>确定</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>密码错误，请重新输入：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>请输入密码：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>全部跳过</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>请选择保存路径</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无法打开，请复制后自行打开：
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>没有合并任何文件。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保存路径“%1”是一个网址，不是文件路径。请输入或选择一个文件路径。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保存路径“%1”是一个文件夹。请在后面加上文件名，例如“合并结果.xls”。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保存路径“%1”不是普通文件，无法写入。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保存路径的文件夹“%1”不存在。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>没有在文件夹“%1”中写入文件的权限。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>请先选择待处理XLS目录</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>请先选择合并后保存路径</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件列表为空，没有要合并的文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保存路径“%1”就是列表中的文件“%2”，合并会覆盖它。
请另选保存路径，未写入任何文件。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件已存在，要覆盖吗？</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>旁边有以前合并留下的续接文件，本次合并不一定会覆盖它们：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>移到回收站后合并</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>永久删除后合并</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保留它们并合并</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>覆盖</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>取消</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>以下文件无法移走：
%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>来源文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>请先停止！</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>共有%1个XLS文件 已合并%2个</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>确定要删除文件“%1”吗？</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件将移到回收站。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>这里没有回收站，文件将被永久删除，无法恢复。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>删除</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>错误</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>删除失败！,可能文件被调用中</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无法写入输出文件“%1”。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>内存不足，无法写入输出文件“%1”。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>内存不足，无法合并文件“%1”。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>内存不足</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>合并失败：%1。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无法合并文件“%1”：%2。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>没有保存任何行。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>此前合并的行已保存到“%1”。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>”、“</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>其余文件没有合并。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>合并已停止，列表中其余的文件没有合并。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>合并完成。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>已合并%1个文件，共写入%2行。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>没有写入任何文件：没有可合并的行。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输出文件：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>以下%1个文件无法读取，已跳过：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>合并时的说明：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>以下文件是以前合并留下的，不属于本次结果：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>合并已停止</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>合并完成</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1/%2个文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>，当前文件已复制%1行</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>正在合并第%1个XLS文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>开始</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>停止</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>plicato::TForm2</name>
    <message>
        <source>关于</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Tarnwick软件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>各种程序定制 </source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>确定</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>plicato::TSelectDirDialog</name>
    <message>
        <source>Select Directory</source>
        <translation>选择文件夹</translation>
    </message>
    <message>
        <source>Directory &amp;Name:</source>
        <translation>文件夹名称(&amp;N)：</translation>
    </message>
    <message>
        <source>&amp;Directories:</source>
        <translation>文件夹(&amp;D)：</translation>
    </message>
    <message>
        <source>&amp;Files: (*.*)</source>
        <translation>文件(&amp;F)：(*.*)</translation>
    </message>
    <message>
        <source>D&amp;rives:</source>
        <translation>驱动器(&amp;R)：</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Ne&amp;twork...</source>
        <translation>网络(&amp;T)...</translation>
    </message>
    <message>
        <source>Unable to create directory %1</source>
        <translation>无法创建文件夹 %1</translation>
    </message>
</context>
</TS>
