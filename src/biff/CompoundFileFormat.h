// On-disk layout of a compound document, shared by the container's reader and writer (and its tests,
// which build documents by hand). All fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plicato::cfb::format {

inline constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Special sector numbers: every value above kMaxRegularSector is a marker, not a sector.
inline constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
inline constexpr uint32_t kDifatSector = 0xFFFFFFFC;  // DIFSECT: the FAT marks a DIFAT sector
inline constexpr uint32_t kFatSector = 0xFFFFFFFD;    // FATSECT: the FAT marks a FAT sector
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFE;   // ENDOFCHAIN
inline constexpr uint32_t kFreeSector = 0xFFFFFFFF;   // FREESECT
inline constexpr uint32_t kNoStream = 0xFFFFFFFF;     // NOSTREAM: no sibling or child entry

// Header, at offset 0 of the file. Version 3 uses the first 512 bytes; version 4 pads it to 4,096.
inline constexpr size_t kHeaderSize = 512;
inline constexpr size_t kOffSignature = 0x00;
inline constexpr size_t kOffClsid = 0x08;
inline constexpr size_t kOffMinorVersion = 0x18;
inline constexpr size_t kOffMajorVersion = 0x1A;
inline constexpr size_t kOffByteOrder = 0x1C;
inline constexpr size_t kOffSectorShift = 0x1E;
inline constexpr size_t kOffMiniSectorShift = 0x20;
inline constexpr size_t kOffDirectorySectorCount = 0x28;
inline constexpr size_t kOffFatSectorCount = 0x2C;
inline constexpr size_t kOffFirstDirectorySector = 0x30;
inline constexpr size_t kOffTransactionSignature = 0x34;
inline constexpr size_t kOffMiniStreamCutoff = 0x38;
inline constexpr size_t kOffFirstMiniFatSector = 0x3C;
inline constexpr size_t kOffMiniFatSectorCount = 0x40;
inline constexpr size_t kOffFirstDifatSector = 0x44;
inline constexpr size_t kOffDifatSectorCount = 0x48;
inline constexpr size_t kOffHeaderDifat = 0x4C;
inline constexpr uint32_t kHeaderDifatEntries = 109;

inline constexpr uint16_t kMinorVersion = 0x003E;
inline constexpr uint16_t kMajorVersion3 = 3;
inline constexpr uint16_t kMajorVersion4 = 4;
inline constexpr uint16_t kByteOrderMark = 0xFFFE;
inline constexpr uint16_t kSectorShift3 = 9;   // 512-byte sectors
inline constexpr uint16_t kSectorShift4 = 12;  // 4,096-byte sectors
inline constexpr uint16_t kMiniSectorShift = 6;
inline constexpr uint32_t kMiniSectorSize = 64;
inline constexpr uint32_t kMiniStreamCutoff = 4096;  // streams shorter than this live in the mini stream

// Directory entry: 128 bytes each, packed into directory sectors.
inline constexpr size_t kDirEntrySize = 128;
inline constexpr size_t kDirOffName = 0x00;  // 32 UTF-16 code units including the terminating zero
inline constexpr size_t kDirNameBytes = 64;
inline constexpr size_t kDirOffNameLength = 0x40;  // bytes, including the terminating zero
inline constexpr size_t kDirOffType = 0x42;
inline constexpr size_t kDirOffColor = 0x43;
inline constexpr size_t kDirOffLeft = 0x44;
inline constexpr size_t kDirOffRight = 0x48;
inline constexpr size_t kDirOffChild = 0x4C;
inline constexpr size_t kDirOffClsid = 0x50;
inline constexpr size_t kDirOffStateBits = 0x60;
inline constexpr size_t kDirOffCreatedTime = 0x64;
inline constexpr size_t kDirOffModifiedTime = 0x6C;
inline constexpr size_t kDirOffStartSector = 0x74;
inline constexpr size_t kDirOffStreamSize = 0x78;
inline constexpr size_t kMaxNameLength = 31;  // UTF-16 code units, without the terminating zero

inline constexpr uint8_t kTypeUnused = 0;
inline constexpr uint8_t kTypeStorage = 1;
inline constexpr uint8_t kTypeStream = 2;
inline constexpr uint8_t kTypeRoot = 5;

inline constexpr uint8_t kColorRed = 0;
inline constexpr uint8_t kColorBlack = 1;

}  // namespace plicato::cfb::format
