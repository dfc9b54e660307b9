// CMicrophoneMixer: the speaker mute and the recording source of the system's mixer, and the
// frame's two mute buttons that follow it.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAbstractButton;
class QSocketNotifier;

namespace shell {

inline constexpr uint32_t kSelectorTypeMixer = 0x71010001;  // several sources at once
inline constexpr uint32_t kSelectorTypeMux = 0x70010001;    // exactly one source
inline constexpr uint32_t kComponentMicrophone = 0x1003;

struct MixerSource {
    std::string name;
    uint32_t componentType = 0;  // kComponentMicrophone for a microphone
};

// Mixer device 0 of the system, as lines and controls. The ALSA backend and the tests' mixer
// implement it.
class MixerDevice {
public:
    virtual ~MixerDevice() = default;
    virtual int DeviceCount() = 0;
    virtual bool Open() = 0;
    virtual void Close() = 0;
    virtual bool HasSpeakerMute() = 0;
    virtual bool GetSpeakerMute(int* value) = 0;
    virtual bool SetSpeakerMute(int value) = 0;
    // The recording line's source selector: its type and its sources in order.
    virtual bool GetSelector(uint32_t* type, std::vector<MixerSource>* sources) = 0;
    virtual bool GetSelectorValues(std::vector<int>* values) = 0;
    virtual bool SetSelectorValues(const std::vector<int>& values) = 0;
    // A descriptor that becomes readable on a change (-1: none) and the call that takes the changes in.
    virtual int ChangeFd() { return -1; }
    virtual void TakeChanges() {}
};

// The system's mixer through ALSA's simple mixer ("default" card); null when the program was built
// without ALSA. TESSALY_MIXER_CARD names another card.
std::unique_ptr<MixerDevice> CreateSystemMixer();

class CMicrophoneMixer {
public:
    // Without a device (or with a device reporting none) nothing is found.
    explicit CMicrophoneMixer(std::unique_ptr<MixerDevice> device = nullptr);
    virtual ~CMicrophoneMixer();

    int OpenMicrophoneMixer();
    int SetSpeakerMute(int value);
    int GetSpeakerMute(int* value);
    int GetMicrophoneSelected(int* value);
    int SetMicrophone(int mode);
    MixerDevice* Device() const { return device_.get(); }

    bool m_bOpen = false;
    int m_bMicAvailable = 0;
    int m_nMixerDevices = 0;
    int m_nMicIndex = 0;
    int m_nOtherIndex = 0;
    uint32_t m_dwSelectorType = 0;
    int m_nSources = 0;

private:
    bool MicUsable() const;
    std::unique_ptr<MixerDevice> device_;
};

// The frame's speaker and microphone mute buttons over the mixer: a press changes the mixer, a
// change of the mixer (from anywhere) shows on the buttons. A press and a language change set the tips
// by the pressed state.
class MuteButtons : public QObject {
    Q_OBJECT
public:
    MuteButtons(CMicrophoneMixer* mixer, QAbstractButton* speaker, QAbstractButton* mic, QObject* parent = nullptr);
    void OnSpeakerMute();
    void OnMicMute();
    // A change notice of the mixer: the buttons show its state; their tips stay until the next press or
    // language change.
    void OnMixerChange();
    // The language's tips for the buttons as they stand.
    void Retext();

private:
    void RetextSpeaker();
    void RetextMic();
    CMicrophoneMixer* mixer_;
    QAbstractButton *speaker_, *mic_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace shell
