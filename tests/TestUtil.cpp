#include "TestUtil.h"

#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/XLSStream.h"

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace plicato::test {

namespace fs = std::filesystem;

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += FormatMessage("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::vector<std::vector<std::u16string>> ReadJsonTextRows(const fs::path& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  const std::string_view json(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::runtime_error malformed("not an array of arrays of strings: " + path.string());
  std::vector<std::vector<std::u16string>> rows;
  int depth = 0;
  for (size_t at = 0; at < json.size(); ++at) {
    if (json[at] == '[' && ++depth == 2) rows.emplace_back();
    if (json[at] == ']') --depth;
    if (json[at] != '"') continue;
    if (depth != 2) throw malformed;
    std::u16string& text = rows.back().emplace_back();
    for (++at; json.at(at) != '"';) {  // a string not closed runs out of range
      const size_t plain = std::min(json.find_first_of("\"\\", at), json.size());
      text += FromUtf8(json.substr(at, plain - at));
      at = plain;
      if (at >= json.size() || json[at] == '"') continue;
      const char c = json.at(at + 1);  // after a backslash; \uXXXX is a UTF-16 code unit
      if (c == 'u')
        text += static_cast<char16_t>(std::stoi(std::string(json.substr(at + 2, 4)), nullptr, 16));
      else
        text += c == 'n' ? u'\n' : c == 'r' ? u'\r' : c == 't' ? u'\t' : static_cast<char16_t>(c);
      at += c == 'u' ? 6 : 2;
    }
  }
  return rows;
}

std::vector<TRecord> SplitRecords(const std::vector<uint8_t>& stream) {
  std::vector<TRecord> records;
  for (size_t at = 0; at + 4 <= stream.size();) {
    const uint16_t id = DecodeFixed16(&stream[at]), length = DecodeFixed16(&stream[at + 2]);
    if (at + 4 + length > stream.size()) break;
    records.push_back({id, std::vector<uint8_t>(stream.begin() + at + 4, stream.begin() + at + 4 + length)});
    at += 4 + length;
  }
  return records;
}

std::vector<TRecord> WrittenRecords(const std::function<void(TXLSStream&)>& write) {
  std::vector<uint8_t> bytes;
  TXLSStream stream;
  stream.SetDestMemory(&bytes);
  stream.OpenWrite("", xvExcel21);
  write(stream);
  stream.Close();
  return SplitRecords(bytes);
}

fs::path CorpusDir() {
  return fs::path(PLICATO_CORPUS);
}

fs::path CorpusFile(const std::string& relative) {
  return CorpusDir() / relative;
}

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  path_ = fs::temp_directory_path() / ("plicato-test-" + std::to_string(::getpid()) + "-" +
                                       std::to_string(counter++) + "-" + std::to_string(rd() % 100000));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::vector<fs::path> CorpusFiles(const std::string& relativeFolder) {
  std::vector<fs::path> files;
  fs::path dir = CorpusDir() / relativeFolder;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return files;
  for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    if (!it->is_regular_file()) continue;
    std::string ext = it->path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (ext == ".xls") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<fs::path> CorpusWorkbooks() {
  std::vector<fs::path> files = CorpusFiles("poi");
  for (const fs::path& path : CorpusFiles("gen")) files.push_back(path);
  return files;
}

std::string CorpusRelativeName(const fs::path& path) {
  return path.lexically_relative(CorpusDir()).generic_string();
}

std::u16string CorpusPassword(const std::string& relative) {
  if (relative == "poi/password.xls") return u"password";
  if (relative == "gen/encrypted/lo__pw_pw136.xls") return u"pw136";
  if (relative == "poi/35897-type4.xls") return u"freedom";
  if (relative == "poi/xor-encryption-abc.xls") return u"abc";
  return {};
}

}  // namespace plicato::test
