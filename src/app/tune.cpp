#include "tune.h"

#include <QAudioDevice>
#include <QFile>
#include <QMediaDevices>
#include <QSoundEffect>

#include <cstdint>

// The tune lives in the window's static library, whose resource registration the linker would drop
// without a reference; the macro must be used outside any namespace.
static void InitTuneResource() {
  Q_INIT_RESOURCE(tune);
}

namespace plicato {

namespace {

uint32_t Le32(const QByteArray& bytes, qsizetype at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
         (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24);
}

}  // namespace

TTune::TTune(QObject* parent) : QObject(parent) {
  InitTuneResource();
  QFile resource(QString::fromLatin1(kResourcePath));
  if (resource.open(QIODevice::ReadOnly)) {
    QByteArray image = resource.readAll();
    if (IsWaveImage(image)) waveImage_ = std::move(image);
  }
}

TTune::~TTune() = default;

bool TTune::IsWaveImage(const QByteArray& image) {
  if (image.size() < 12 || !image.startsWith("RIFF") || image.mid(8, 4) != "WAVE") return false;
  bool hasFormat = false;
  bool hasData = false;
  qsizetype at = 12;
  while (at + 8 <= image.size()) {
    const QByteArray id = image.mid(at, 4);
    const uint32_t length = Le32(image, at + 4);
    if (length > static_cast<uint64_t>(image.size() - at - 8)) return false;
    if (id == "fmt ") hasFormat = true;
    if (id == "data") hasData = true;
    at += 8 + static_cast<qsizetype>(length) + (length & 1);
  }
  return hasFormat && hasData;
}

bool TTune::Play() {
  if (waveImage_.isEmpty()) return false;
  if (!effect_) {
    if (QMediaDevices::audioOutputs().isEmpty()) return false;
    effect_ = new QSoundEffect(this);
    connect(effect_, &QSoundEffect::statusChanged, this, [this] {
      if (effect_->status() == QSoundEffect::Error) emit Unplayable();
    });
    effect_->setSource(QUrl(QStringLiteral("qrc") + QString::fromLatin1(kResourcePath)));
    effect_->setLoopCount(1);
  }
  effect_->stop();
  effect_->play();
  return true;
}

void TTune::Stop() {
  if (effect_) effect_->stop();
}

bool TTune::Playing() const {
  return effect_ && effect_->isPlaying();
}

}  // namespace plicato
