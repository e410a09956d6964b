// Lines up the columns of files whose header rows differ, by the names in their last header row, so that
// "金额" lands under "金额" wherever each file put it. The output's columns are the union of the files'
// names: the first file's columns in its order, then each name not seen before, in the order the files
// bring them. Each file gets a table from its columns to the output's, so that laying out a row costs one
// array lookup per cell, and the facts a report needs (the columns it lacks, the columns it brought).
//
// Names are compared folded: spaces trimmed at both ends (ASCII white space, the no-break space and the
// full-width U+3000), full-width ASCII forms (U+FF01..U+FF5E) taken as ASCII and ASCII letters as lower
// case, so "ＡＢＣ１ " and "abc1" are one column. The output shows a name as the first file that has it
// writes it. A name repeated within one file keeps its order: the n-th "金额" of a file matches the n-th
// "金额" of the union, and an n-th that no file had before is a new column. Columns with an empty header
// follow the same rule, so they are matched by their position among the empty-header columns.
//
// A file whose header cells are all empty names nothing: it is laid out by position (its column i under
// output column i, the union widened with unnamed columns when the file is wider) and flagged, for the
// caller to say so; it lacks and brings nothing.
//
// The union may be wider than the output: columns from the capacity on are left out, for every file.
// Which source and mark columns come before the data is the caller's concern: the capacity counts data
// columns only (the format's column limit less the columns put before the data).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

namespace plicato {

// What a report says of one file, in output columns (indexes into TColumnMatch::Columns(), all below its
// Kept(), ascending). Columns left out are named once for the run (TColumnMatch::Kept()), not here, and
// columns without a name are not named at all: there is nothing to say of them but a position.
struct TColumnFacts {
  std::vector<uint32_t> lacking;  // columns of the output the file has no column for
  std::vector<uint32_t> brought;  // columns the file was the first to bring; none for the first file
  bool unnamed = false;           // every header cell empty: laid out by position
};

class TColumnMatch {
 public:
  static constexpr uint32_t kLeftOut = std::numeric_limits<uint32_t>::max();

  // capacity: the number of data columns the output can hold (the union's columns past it are left out).
  explicit TColumnMatch(uint32_t capacity) : capacity_(capacity) {}

  // Adds the next file's last header row: one text per column of the file, as the sheet shows it (a
  // number or a date as displayed), empty for an empty header cell; the file's column count is the
  // vector's size. Returns the file's number, counted from 0 in the order of the calls.
  size_t AddFile(const std::vector<std::u16string>& names);

  // The output's columns, each as the first file that has it writes it; the union of every file added.
  const std::vector<std::u16string>& Columns() const { return columns_; }
  // How many of Columns() are written: the columns from Kept() on are left out.
  uint32_t Kept() const;
  // Output column of each column of the file (kLeftOut past the capacity): file's column i goes to
  // Map(file)[i]. Fixed when the file is added, so rows can be laid out before the last file is added.
  const std::vector<uint32_t>& Map(size_t file) const { return files_.at(file).map; }
  // Widens the file's map to cover its column (values past its header row): each column added is one
  // more empty-header column of the file, matched as those are, by position among them; the union gains
  // unnamed columns where it has too few. Returns the map.
  const std::vector<uint32_t>& Widen(size_t file, uint32_t column);
  // Whether the union's column has a name (not empty once folded).
  bool Named(uint32_t column) const { return named_.at(column); }
  // The report's facts of the file, against the union of every file added so far.
  TColumnFacts Facts(size_t file) const;

  // The folded form under which names are compared.
  static std::u16string Fold(const std::u16string& name);

 private:
  struct TFile {
    std::vector<uint32_t> map;
    std::vector<uint32_t> brought;
    bool unnamed = false;
    uint32_t emptyHeaders = 0;  // its columns with an empty header, those Widen added included
  };
  // Adds an unnamed column to the union, as the empty-header column matched next.
  uint32_t AddUnnamed();

  uint32_t Output(uint32_t column) const { return column < capacity_ ? column : kLeftOut; }

  uint32_t capacity_;
  std::vector<std::u16string> columns_;
  std::vector<bool> named_;  // per column of columns_: its name is not empty once folded
  // The union's columns of one folded name, in the order of their occurrence in a file, and how many of
  // the name the file being added has had so far (its n-th matches the n-th of columns).
  struct TName {
    std::vector<uint32_t> columns;
    size_t file = 0;
    uint32_t seen = 0;
  };
  std::unordered_map<std::u16string, TName> byName_;
  std::vector<TFile> files_;
};

}  // namespace plicato
