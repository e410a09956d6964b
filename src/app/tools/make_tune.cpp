// Writes the program's background tune: a short music-box piece in C major (lead, bass and a soft
// arpeggio over C - Am - F - G), synthesised as a RIFF WAVE file of 8-bit mono PCM at 11,025 samples
// per second, about half a minute long. Run at build time; the output is embedded as a resource.
//
//   make_tune OUT.wav
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <vector>

namespace {

constexpr int kRate = 11025;
constexpr double kBeat = 0.6;  // seconds: 100 beats a minute

struct Note {
  int key;       // MIDI key number
  double beats;  // length
};

double Frequency(int key) {
  return 440.0 * std::pow(2.0, (key - 69) / 12.0);
}

// Adds a note with a plucked envelope: a short attack, an exponential decay while held, then a quick
// release so that notes do not click.
void AddNote(std::vector<double>& mix, double start, double length, int key, double volume, double decay,
             double second, double third) {
  const double f = Frequency(key);
  const double release = 0.08;
  const auto first = static_cast<size_t>(start * kRate);
  const auto count = static_cast<size_t>((length + release) * kRate);
  for (size_t i = 0; i < count && first + i < mix.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    double envelope = std::min(1.0, t / 0.012) * std::exp(-decay * t);
    if (t > length) envelope *= std::max(0.0, 1.0 - (t - length) / release);
    const double phase = 2.0 * std::numbers::pi * f * t;
    mix[first + i] += volume * envelope *
                      (std::sin(phase) + second * std::sin(2.0 * phase) + third * std::sin(3.0 * phase));
  }
}

void PutLe16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
  PutLe16(out, v & 0xFFFF);
  PutLe16(out, v >> 16);
}

// The piece, mixed: lead, bass and arpeggio added together as samples of any size.
std::vector<double> Compose() {
  // Four-bar phrases over C - Am - F - G, then a closing C.
  const std::vector<Note> melody = {
      {64, 1},   {67, 1},   {72, 1},   {71, 0.5}, {69, 0.5},  // C
      {67, 1.5}, {64, 0.5}, {69, 2},                          // Am
      {65, 1},   {69, 1},   {72, 1},   {74, 1},               // F
      {71, 2},   {67, 2},                                     // G
      {72, 1},   {71, 0.5}, {72, 0.5}, {76, 2},               // C
      {74, 1},   {72, 1},   {69, 2},                          // Am
      {69, 0.5}, {71, 0.5}, {72, 1},   {69, 1},   {65, 1},    // F
      {67, 3},   {71, 1},                                     // G
      {64, 1},   {67, 1},   {72, 1},   {71, 0.5}, {69, 0.5},  // C
      {67, 1.5}, {64, 0.5}, {69, 2},                          // Am
      {65, 1},   {69, 1},   {72, 1},   {77, 1},               // F
      {76, 1},   {74, 1},   {71, 2},                          // G
      {72, 4},                                                // C
  };
  // Chord of each bar: root in the bass, triad for the arpeggio.
  struct Chord {
    int bass;
    int tones[3];
  };
  const Chord c{48, {60, 64, 67}}, am{45, {57, 60, 64}}, f{41, {57, 60, 65}}, g{43, {55, 59, 62}};
  const std::vector<Chord> bars = {c, am, f, g, c, am, f, g, c, am, f, g, c};

  const double total = static_cast<double>(bars.size()) * 4 * kBeat + 1.5;
  std::vector<double> mix(static_cast<size_t>(total * kRate), 0.0);

  double at = 0;
  for (const Note& note : melody) {
    AddNote(mix, at, note.beats * kBeat * 0.95, note.key, 0.5, 1.6, 0.3, 0.08);
    at += note.beats * kBeat;
  }
  for (size_t bar = 0; bar < bars.size(); ++bar) {
    const double start = static_cast<double>(bar) * 4 * kBeat;
    const Chord& chord = bars[bar];
    const bool last = bar + 1 == bars.size();
    AddNote(mix, start, (last ? 4 : 2) * kBeat, chord.bass, 0.35, 0.9, 0.25, 0.0);
    if (!last) AddNote(mix, start + 2 * kBeat, 2 * kBeat, chord.bass + 12, 0.25, 0.9, 0.25, 0.0);
    const int eighths = last ? 3 : 8;
    for (int i = 0; i < eighths; ++i) {
      const int key = chord.tones[i % 3] + (i % 6 >= 3 ? 12 : 0);
      AddNote(mix, start + i * kBeat / 2, kBeat / 2, key, 0.12, 4.0, 0.1, 0.0);
    }
  }

  return mix;
}

// The mix scaled to 90% of the loudest sample, as unsigned 8-bit samples around 128.
std::vector<uint8_t> Samples8(const std::vector<double>& mix) {
  double peak = 0;
  for (double s : mix) peak = std::max(peak, std::abs(s));
  const double scale = peak > 0 ? 0.9 / peak : 1.0;

  std::vector<uint8_t> data;
  data.reserve(mix.size());
  for (double s : mix) {
    const long v = std::lround(128.0 + s * scale * 127.0);
    data.push_back(static_cast<uint8_t>(std::clamp(v, 0L, 255L)));
  }
  return data;
}

// The samples as a RIFF WAVE file: the fmt chunk of 8-bit mono PCM, then the data chunk.
std::vector<uint8_t> WaveFile(const std::vector<uint8_t>& data) {
  const size_t pad = data.size() & 1;  // chunks are padded to an even length
  std::vector<uint8_t> out;
  out.insert(out.end(), {'R', 'I', 'F', 'F'});
  PutLe32(out, static_cast<uint32_t>(4 + 8 + 16 + 8 + data.size() + pad));
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLe32(out, 16);
  PutLe16(out, 1);  // PCM
  PutLe16(out, 1);  // mono
  PutLe32(out, kRate);
  PutLe32(out, kRate);  // bytes per second
  PutLe16(out, 1);      // block alignment
  PutLe16(out, 8);      // bits per sample
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  PutLe32(out, static_cast<uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  if (pad) out.push_back(0);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_tune OUT.wav\n");
    return 2;
  }
  const std::vector<uint8_t> out = WaveFile(Samples8(Compose()));
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  if (!file) {
    std::fprintf(stderr, "make_tune: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
