// Record identifiers, placeholder codes and fixed sizes of the BIFF record stream, shared by the record
// stream, the reader, the writer and the stored record lists.
#pragma once

#include <cstdint>

namespace plicato {

// A workbook's BIFF version. The numbering is part of the file-level contract (kept by the workbook).
enum TExcelVersion : uint8_t {
  xvNone = 0,
  xvExcelUnknown = 1,
  xvExcel21 = 2,
  xvExcel30 = 3,
  xvExcel40 = 4,
  xvExcel50 = 5,
  xvExcel97 = 6,
};

// Largest record body: BIFF8, and every earlier version.
constexpr uint32_t kMaxRecordDataBiff8 = 8224;
constexpr uint32_t kMaxRecordDataBiff5 = 2080;
inline uint32_t MaxRecordDataFor(TExcelVersion v) {
  return v == xvExcel97 ? kMaxRecordDataBiff8 : kMaxRecordDataBiff5;
}

constexpr uint32_t kRecordHeaderSize = 4;

// Fixed sizes and values of record bodies.
constexpr uint16_t kWriteAccessSize = 112;  // WRITEACCESS: string header, the user name, spaces
constexpr uint16_t kCodePageUtf16 = 1200;   // CODEPAGE and INTERFACEHDR of a BIFF8 file: Unicode texts
constexpr uint16_t kSheetProtectionSize = 23;
constexpr uint16_t kFeatureProtection = 2;        // SHEETPROTECTION's shared feature type
constexpr uint16_t kAllProtectionFlags = 0x7FFF;  // SHEETPROTECTION's fifteen flags: everything allowed
constexpr uint16_t kRowSize = 16;
constexpr uint16_t kWindow2Size = 18;
// WINDOW2 option bits, and the gridline colour index that stands for the window's default colour.
constexpr uint16_t kWindow2FrozenPanes = 0x0008;
constexpr uint16_t kWindow2FrozenNoSplit = 0x0100;
constexpr uint16_t kWindow2Selected = 0x0200;
constexpr uint16_t kWindow2DefaultGridColor = 0x40;
// ARRAY: first and last row, first and last column, options, unused, token count; then the tokens.
constexpr uint16_t kArrayFixedSize = 14;
// The BOUNDSHEET type byte of each sheet-list kind (worksheet, chart, VB module, macro sheet).
constexpr uint8_t kBoundsheetType[4] = {0x00, 0x02, 0x06, 0x01};

namespace BIFFRecs {
constexpr uint16_t DIMENSIONS_2 = 0x0000;
constexpr uint16_t BLANK_2 = 0x0001;
constexpr uint16_t INTEGER_2 = 0x0002;
constexpr uint16_t NUMBER_2 = 0x0003;
constexpr uint16_t LABEL_2 = 0x0004;
constexpr uint16_t BOOLERR_2 = 0x0005;
constexpr uint16_t FORMULA = 0x0006;
constexpr uint16_t STRING_2 = 0x0007;
constexpr uint16_t BOF_2 = 0x0009;
constexpr uint16_t EOF_ = 0x000A;
constexpr uint16_t CALCCOUNT = 0x000C;
constexpr uint16_t CALCMODE = 0x000D;
constexpr uint16_t PRECISION = 0x000E;
constexpr uint16_t REFMODE = 0x000F;
constexpr uint16_t DELTA = 0x0010;
constexpr uint16_t ITERATION = 0x0011;
constexpr uint16_t PROTECT = 0x0012;
constexpr uint16_t PASSWORD = 0x0013;
constexpr uint16_t HEADER = 0x0014;
constexpr uint16_t FOOTER = 0x0015;
constexpr uint16_t EXTERNCOUNT = 0x0016;
constexpr uint16_t EXTERNSHEET = 0x0017;
constexpr uint16_t NAME = 0x0018;
constexpr uint16_t WINDOWPROTECT = 0x0019;
constexpr uint16_t VERTICALPAGEBREAKS = 0x001A;
constexpr uint16_t HORIZONTALPAGEBREAKS = 0x001B;
constexpr uint16_t NOTE = 0x001C;
constexpr uint16_t SELECTION = 0x001D;
constexpr uint16_t FORMAT_2 = 0x001E;  // BIFF2-3
constexpr uint16_t DATEMODE = 0x0022;
constexpr uint16_t EXTERNNAME = 0x0023;
constexpr uint16_t LEFTMARGIN = 0x0026;
constexpr uint16_t RIGHTMARGIN = 0x0027;
constexpr uint16_t TOPMARGIN = 0x0028;
constexpr uint16_t BOTTOMMARGIN = 0x0029;
constexpr uint16_t PRINTHEADERS = 0x002A;
constexpr uint16_t PRINTGRIDLINES = 0x002B;
constexpr uint16_t FILEPASS = 0x002F;
constexpr uint16_t FONT = 0x0031;
constexpr uint16_t CONTINUE = 0x003C;
constexpr uint16_t WINDOW1 = 0x003D;
constexpr uint16_t BACKUP = 0x0040;
constexpr uint16_t PANE = 0x0041;
constexpr uint16_t CODEPAGE = 0x0042;
constexpr uint16_t PLS = 0x004D;
constexpr uint16_t DEFCOLWIDTH = 0x0055;
constexpr uint16_t XCT = 0x0059;
constexpr uint16_t CRN = 0x005A;
constexpr uint16_t FILESHARING = 0x005B;
constexpr uint16_t WRITEACCESS = 0x005C;
constexpr uint16_t SAVERECALC = 0x005F;
constexpr uint16_t OBJPROTECT = 0x0063;
constexpr uint16_t COLINFO = 0x007D;
constexpr uint16_t RK_OLD = 0x007E;
constexpr uint16_t GUTS = 0x0080;
constexpr uint16_t WSBOOL = 0x0081;
constexpr uint16_t GRIDSET = 0x0082;
constexpr uint16_t HCENTER = 0x0083;
constexpr uint16_t VCENTER = 0x0084;
constexpr uint16_t BOUNDSHEET = 0x0085;
constexpr uint16_t COUNTRY = 0x008C;
constexpr uint16_t HIDEOBJ = 0x008D;
constexpr uint16_t PALETTE = 0x0092;
constexpr uint16_t STANDARDWIDTH = 0x0099;
constexpr uint16_t FILTERMODE = 0x009B;
constexpr uint16_t FNGROUPCOUNT = 0x009C;
constexpr uint16_t AUTOFILTERINFO = 0x009D;
constexpr uint16_t SCL = 0x00A0;
constexpr uint16_t SETUP = 0x00A1;
constexpr uint16_t SHRFMLA_OLD = 0x00BC;
constexpr uint16_t MULRK = 0x00BD;
constexpr uint16_t MULBLANK = 0x00BE;
constexpr uint16_t MMS = 0x00C1;
constexpr uint16_t OBPROJ = 0x00D3;
constexpr uint16_t RSTRING = 0x00D6;
constexpr uint16_t DBCELL = 0x00D7;
constexpr uint16_t BOOKBOOL = 0x00DA;
constexpr uint16_t SCENPROTECT = 0x00DD;
constexpr uint16_t XF = 0x00E0;
constexpr uint16_t INTERFACEHDR = 0x00E1;
constexpr uint16_t INTERFACEEND = 0x00E2;
constexpr uint16_t MERGEDCELLS = 0x00E5;
constexpr uint16_t MSODRAWINGGROUP = 0x00EB;
constexpr uint16_t MSODRAWING = 0x00EC;
constexpr uint16_t MSODRAWINGSELECTION = 0x00ED;
constexpr uint16_t SST = 0x00FC;
constexpr uint16_t LABELSST = 0x00FD;
constexpr uint16_t EXTSST = 0x00FF;
constexpr uint16_t RRDHEAD = 0x0138;
constexpr uint16_t TABID = 0x013D;
constexpr uint16_t USESELFS = 0x0160;
constexpr uint16_t DSF = 0x0161;
constexpr uint16_t USREXCL = 0x0194;
constexpr uint16_t FILELOCK = 0x0195;
constexpr uint16_t RRDINFO = 0x0196;
constexpr uint16_t USERBVIEW = 0x01A9;
constexpr uint16_t USERSVIEWBEGIN = 0x01AA;
constexpr uint16_t USERSVIEWEND = 0x01AB;
constexpr uint16_t SUPBOOK = 0x01AE;
constexpr uint16_t PROT4REV = 0x01AF;
constexpr uint16_t CONDFMT = 0x01B0;
constexpr uint16_t DVAL = 0x01B2;
constexpr uint16_t REFRESHALL = 0x01B7;
constexpr uint16_t HLINK = 0x01B8;
constexpr uint16_t PROT4REVPASS = 0x01BC;
constexpr uint16_t RECALCID = 0x01C1;
constexpr uint16_t DIMENSIONS = 0x0200;
constexpr uint16_t BLANK = 0x0201;
constexpr uint16_t NUMBER = 0x0203;
constexpr uint16_t LABEL = 0x0204;
constexpr uint16_t BOOLERR = 0x0205;
constexpr uint16_t FORMULA_3 = 0x0206;
constexpr uint16_t STRING = 0x0207;
constexpr uint16_t ROW = 0x0208;
constexpr uint16_t BOF_3 = 0x0209;
constexpr uint16_t INDEX = 0x020B;
constexpr uint16_t NAME_3 = 0x0218;
constexpr uint16_t ARRAY = 0x0221;
constexpr uint16_t EXTERNNAME_3 = 0x0223;
constexpr uint16_t DEFAULTROWHEIGHT = 0x0225;
constexpr uint16_t FONT_3 = 0x0231;
constexpr uint16_t TABLE = 0x0236;
constexpr uint16_t WINDOW2 = 0x023E;
constexpr uint16_t XF_3 = 0x0243;
constexpr uint16_t RK = 0x027E;
constexpr uint16_t STYLE = 0x0293;
constexpr uint16_t FORMULA_4 = 0x0406;
constexpr uint16_t BOF_4 = 0x0409;
constexpr uint16_t FORMAT = 0x041E;
constexpr uint16_t XF_4 = 0x0443;
constexpr uint16_t SHRFMLA = 0x04BC;
constexpr uint16_t BOF = 0x0809;
constexpr uint16_t SHEETEXT = 0x0862;
constexpr uint16_t HFPICTURE = 0x0866;
constexpr uint16_t FEATHDR = 0x0867;
constexpr uint16_t SHEETPROTECTION = 0x0867;
constexpr uint16_t GELFRAME = 0x1066;

// BOF substream types (offset 2 of the BOF body).
constexpr uint16_t BOF_GLOBALS = 0x0005;
constexpr uint16_t BOF_MODULE = 0x0006;
constexpr uint16_t BOF_WORKSHEET = 0x0010;
constexpr uint16_t BOF_CHART = 0x0020;
constexpr uint16_t BOF_MACROSHEET = 0x0040;
constexpr uint16_t BOF_WORKSPACE = 0x0100;

// The BOF records of every version.
constexpr bool IsBOF(uint16_t id) {
  return id == BOF || id == BOF_4 || id == BOF_3 || id == BOF_2;
}
// Low byte 0x09: the BOF records, and chart records such as 0x1009 that share the low byte. The stored
// record lists take any of them for the list's BOF, and a plain file starting with one is looked at
// as a BIFF2-4 worksheet.
constexpr bool HasBOFLowByte(uint16_t id) {
  return (id & 0xFF) == 0x09;
}

// Placeholders in the stored record lists: never written; the writer generates records at their place.
constexpr uint16_t PH_FORMATS = 0x8001;       // FONT, FORMAT, XF, STYLE, PALETTE
constexpr uint16_t PH_BOUNDSHEETS = 0x8002;   // BOUNDSHEET records
constexpr uint16_t PH_NAMES = 0x8003;         // external references and NAME records
constexpr uint16_t PH_DRAWINGGROUP = 0x8004;  // MSODRAWINGGROUP
constexpr uint16_t PH_SST = 0x8005;           // SST, CONTINUE, EXTSST
constexpr uint16_t PH_PAGEBREAKS = 0x8101;
constexpr uint16_t PH_HEADERFOOTER = 0x8102;
constexpr uint16_t PH_MARGINS = 0x8103;
constexpr uint16_t PH_COLINFO = 0x8104;
constexpr uint16_t PH_CELLS = 0x8105;        // ROW records, then the cell records
constexpr uint16_t PH_SHEETEXTRAS = 0x8106;  // drawings, pane, merged cells, ..., sheet protection
}  // namespace BIFFRecs

}  // namespace plicato
