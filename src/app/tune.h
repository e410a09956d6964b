// The background tune: a wave image carried in the program's own resources (type "MIDI", name "NAME"),
// played once in the background on request and stopped on request.
//
// A missing resource, an image that is not a RIFF WAVE file, or a machine without a sound device all
// make the tune silent, without a message.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QUrl>

class QSoundEffect;

namespace plicato {

class TTune : public QObject {
  Q_OBJECT

 public:
  // The resource holding the tune.
  static constexpr const char* kResourcePath = ":/MIDI/NAME";

  explicit TTune(QObject* parent = nullptr);
  ~TTune() override;

  // The wave image, empty when the resource is missing or not a wave file.
  const QByteArray& WaveImage() const { return waveImage_; }

  // Plays the tune once from its beginning, cutting off a playing one; false when there is no tune or
  // no sound device to play it on. A device that fails later says so with Unplayable.
  bool Play();
  // Stops the tune; nothing happens when it is silent.
  void Stop();
  // True while the tune is sounding.
  bool Playing() const;

  // True for a RIFF WAVE image with a "fmt " and a "data" chunk.
  static bool IsWaveImage(const QByteArray& image);

 signals:
  // The sound device could not play the tune.
  void Unplayable();

 private:
  QByteArray waveImage_;
  QSoundEffect* effect_ = nullptr;  // made on the first play that has a device to play on
};

}  // namespace plicato
