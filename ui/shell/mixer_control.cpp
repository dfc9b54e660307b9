// CMicrophoneMixer: the speaker mute and the recording source of the system's mixer, and the
// frame's two mute buttons that follow it.
#include "ui/shell/mixer_control.h"

#include <QAbstractButton>
#include <QSocketNotifier>
#include <algorithm>
#include <cstdlib>

#include "common/debug.h"
#include "ui/shell/shell_config.h"

#ifdef TESSALY_HAVE_ALSA
#include <alsa/asoundlib.h>
#include <poll.h>
#endif

namespace shell {

// ---------------------------------------------------------------------------------------------
CMicrophoneMixer::CMicrophoneMixer(std::unique_ptr<MixerDevice> device) : device_(std::move(device)) {}

CMicrophoneMixer::~CMicrophoneMixer() {
    if (device_ && m_bOpen) device_->Close();
}

int CMicrophoneMixer::OpenMicrophoneMixer() {
    m_bMicAvailable = 0;
    if (!device_) return 0;
    m_nMixerDevices = device_->DeviceCount();
    if (m_nMixerDevices <= 0) return 0;
    if (!device_->Open()) return 0;
    m_bOpen = true;
    if (!device_->HasSpeakerMute()) return 0;

    std::vector<MixerSource> sources;
    uint32_t type = 0;
    if (!device_->GetSelector(&type, &sources) || (type != kSelectorTypeMixer && type != kSelectorTypeMux)) return 0;
    m_dwSelectorType = type;
    m_nSources = static_cast<int>(sources.size());
    if (m_nSources == 0) return 0;
    m_nMicIndex = m_nSources;
    for (int i = 0; i < m_nSources; ++i)
        if (sources[i].componentType == kComponentMicrophone) {
            m_nMicIndex = i;
            break;
        }
    if (m_nMicIndex == m_nSources)
        for (int i = 0; i < m_nSources; ++i)
            if (sources[i].name == "Microphone") {
                m_nMicIndex = i;
                break;
            }
    m_nOtherIndex = m_nMicIndex == 0 ? m_nSources - 1 : 0;
    m_bMicAvailable = m_nMicIndex < m_nSources ? 1 : 0;
    return m_bMicAvailable;
}

int CMicrophoneMixer::SetSpeakerMute(int value) {
    if (!m_bOpen || !m_bMicAvailable) return 0;
    return device_->SetSpeakerMute(value) ? 1 : 0;
}

int CMicrophoneMixer::GetSpeakerMute(int* value) {
    if (!m_bOpen || !m_bMicAvailable || !value) return 0;
    return device_->GetSpeakerMute(value) ? 1 : 0;
}

bool CMicrophoneMixer::MicUsable() const {
    return m_bOpen && m_nSources > 0 && m_nMicIndex < m_nSources && m_bMicAvailable;
}

int CMicrophoneMixer::GetMicrophoneSelected(int* value) {
    if (!MicUsable() || !value) return 0;
    std::vector<int> values;
    if (!device_->GetSelectorValues(&values) || static_cast<int>(values.size()) != m_nSources) return 0;
    *value = values[m_nMicIndex];
    return 1;
}

int CMicrophoneMixer::SetMicrophone(int mode) {
    if (!MicUsable() || mode < 0 || mode > 2) return 0;
    std::vector<int> values;
    if (!device_->GetSelectorValues(&values) || static_cast<int>(values.size()) != m_nSources) return 0;
    if (mode != 0 && m_dwSelectorType == kSelectorTypeMux) std::fill(values.begin(), values.end(), 0);
    if (mode == 2) values[m_nOtherIndex] = 1;
    else values[m_nMicIndex] = mode;
    // A multiplexer always takes one source: a write that leaves none is refused, as the device would.
    if (m_dwSelectorType == kSelectorTypeMux && std::count(values.begin(), values.end(), 0) == m_nSources) return 0;
    return device_->SetSelectorValues(values) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
MuteButtons::MuteButtons(CMicrophoneMixer* mixer, QAbstractButton* speaker, QAbstractButton* mic, QObject* parent)
    : QObject(parent), mixer_(mixer), speaker_(speaker), mic_(mic) {
    if (MixerDevice* d = mixer_ ? mixer_->Device() : nullptr) {
        const int fd = d->ChangeFd();
        if (fd >= 0) {
            notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(notifier_, &QSocketNotifier::activated, this, [this] {
                mixer_->Device()->TakeChanges();
                OnMixerChange();
            });
        }
    }
    OnMixerChange();
    Retext();
}

void MuteButtons::Retext() {
    RetextSpeaker();
    RetextMic();
}

void MuteButtons::RetextSpeaker() {
    if (speaker_)
        speaker_->setToolTip(speaker_->isChecked() ? LangText("tool_tip", "10", "Free Speaker Mute")
                                                   : LangText("tool_tip", "4", "Speaker Mute"));
}

void MuteButtons::RetextMic() {
    if (mic_)
        mic_->setToolTip(mic_->isChecked() ? LangText("tool_tip", "11", "Free Mic Mute")
                                           : LangText("tool_tip", "5", "Mic Mute"));
}

void MuteButtons::OnSpeakerMute() {
    if (!speaker_) return;
    RetextSpeaker();
    mixer_->SetSpeakerMute(speaker_->isChecked() ? 1 : 0);
}

void MuteButtons::OnMicMute() {
    if (!mic_) return;
    // The tip follows the press; a mixer that refuses only sets the buttons back.
    RetextMic();
    int ok;
    if (mic_->isChecked()) {
        ok = mixer_->SetMicrophone(0);
        if (!ok) ok = mixer_->SetMicrophone(2);
    } else {
        ok = mixer_->SetMicrophone(1);
    }
    if (!ok) OnMixerChange();
}

void MuteButtons::OnMixerChange() {
    int value = 0;
    if (speaker_ && mixer_->GetSpeakerMute(&value)) speaker_->setChecked(value != 0);
    if (mic_ && mixer_->GetMicrophoneSelected(&value)) mic_->setChecked(value != 1);
}

// ---------------------------------------------------------------------------------------------
#ifdef TESSALY_HAVE_ALSA
namespace {

// ALSA's simple mixer: the speaker is the first of "Master", "Speaker", "PCM" with a playback
// switch (muted = switch off). The recording selector is an enumerated capture source when the
// card has one (a multiplexer), else every element with a capture switch (a mixer).
class AlsaMixer : public MixerDevice {
public:
    ~AlsaMixer() override { Close(); }
    int DeviceCount() override {
        int card = -1, n = 0;
        while (snd_card_next(&card) == 0 && card >= 0) ++n;
        return n;
    }
    bool Open() override {
        const char* name = std::getenv("TESSALY_MIXER_CARD");
        if (!name || !*name) name = "default";
        if (snd_mixer_open(&mixer_, 0) < 0) return false;
        if (snd_mixer_attach(mixer_, name) < 0 || snd_mixer_selem_register(mixer_, nullptr, nullptr) < 0 ||
            snd_mixer_load(mixer_) < 0) {
            DebugTrace(MOD_SYSTEM, 2, "mixer %s cannot be opened", name);
            Close();
            return false;
        }
        for (const char* n : {"Master", "Speaker", "PCM"}) {
            snd_mixer_elem_t* e = Find(n);
            if (e && snd_mixer_selem_has_playback_switch(e)) {
                speaker_ = e;
                break;
            }
        }
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer_); e; e = snd_mixer_elem_next(e)) {
            if (!snd_mixer_selem_is_active(e)) continue;
            if (snd_mixer_selem_is_enum_capture(e) && !mux_) mux_ = e;
            else if (snd_mixer_selem_has_capture_switch(e) && std::string(snd_mixer_selem_get_name(e)) != "Capture")
                switches_.push_back(e);
        }
        return true;
    }
    void Close() override {
        if (mixer_) snd_mixer_close(mixer_);
        mixer_ = nullptr;
        speaker_ = mux_ = nullptr;
        switches_.clear();
    }
    bool HasSpeakerMute() override { return speaker_ != nullptr; }
    bool GetSpeakerMute(int* value) override {
        int on = 0;
        if (!speaker_ || snd_mixer_selem_get_playback_switch(speaker_, SND_MIXER_SCHN_FRONT_LEFT, &on) < 0) return false;
        *value = on ? 0 : 1;
        return true;
    }
    bool SetSpeakerMute(int value) override {
        return speaker_ && snd_mixer_selem_set_playback_switch_all(speaker_, value ? 0 : 1) >= 0;
    }
    bool GetSelector(uint32_t* type, std::vector<MixerSource>* sources) override {
        sources->clear();
        if (mux_) {
            *type = kSelectorTypeMux;
            const int n = snd_mixer_selem_get_enum_items(mux_);
            for (int i = 0; i < n; ++i) {
                char name[64] = {};
                snd_mixer_selem_get_enum_item_name(mux_, i, sizeof name - 1, name);
                sources->push_back({name, IsMic(name) ? kComponentMicrophone : 0});
            }
            return true;
        }
        if (switches_.empty()) return false;
        *type = kSelectorTypeMixer;
        for (snd_mixer_elem_t* e : switches_) {
            const char* name = snd_mixer_selem_get_name(e);
            sources->push_back({name, IsMic(name) ? kComponentMicrophone : 0});
        }
        return true;
    }
    bool GetSelectorValues(std::vector<int>* values) override {
        values->clear();
        if (mux_) {
            unsigned int item = 0;
            if (snd_mixer_selem_get_enum_item(mux_, SND_MIXER_SCHN_FRONT_LEFT, &item) < 0) return false;
            const int n = snd_mixer_selem_get_enum_items(mux_);
            for (int i = 0; i < n; ++i) values->push_back(static_cast<int>(item) == i ? 1 : 0);
            return true;
        }
        for (snd_mixer_elem_t* e : switches_) {
            int on = 0;
            if (snd_mixer_selem_get_capture_switch(e, SND_MIXER_SCHN_FRONT_LEFT, &on) < 0) return false;
            values->push_back(on ? 1 : 0);
        }
        return !values->empty();
    }
    bool SetSelectorValues(const std::vector<int>& values) override {
        if (mux_) {
            for (size_t i = 0; i < values.size(); ++i)
                if (values[i]) {
                    for (int ch = 0; ch <= SND_MIXER_SCHN_LAST; ++ch)
                        if (snd_mixer_selem_has_capture_channel(mux_, static_cast<snd_mixer_selem_channel_id_t>(ch)))
                            snd_mixer_selem_set_enum_item(mux_, static_cast<snd_mixer_selem_channel_id_t>(ch),
                                                          static_cast<unsigned>(i));
                    return true;
                }
            return true;  // a multiplexer always has one source: nothing selected leaves it
        }
        if (values.size() != switches_.size()) return false;
        bool ok = true;
        for (size_t i = 0; i < values.size(); ++i)
            ok = snd_mixer_selem_set_capture_switch_all(switches_[i], values[i] ? 1 : 0) >= 0 && ok;
        return ok;
    }
    int ChangeFd() override {
        if (!mixer_ || snd_mixer_poll_descriptors_count(mixer_) < 1) return -1;
        struct pollfd p {};
        if (snd_mixer_poll_descriptors(mixer_, &p, 1) < 1) return -1;
        return p.fd;
    }
    void TakeChanges() override {
        if (mixer_) snd_mixer_handle_events(mixer_);
    }

private:
    static bool IsMic(const char* name) { return std::string(name).find("Mic") != std::string::npos; }
    snd_mixer_elem_t* Find(const char* name) {
        snd_mixer_selem_id_t* sid;
        snd_mixer_selem_id_alloca(&sid);
        snd_mixer_selem_id_set_index(sid, 0);
        snd_mixer_selem_id_set_name(sid, name);
        return snd_mixer_find_selem(mixer_, sid);
    }
    snd_mixer_t* mixer_ = nullptr;
    snd_mixer_elem_t* speaker_ = nullptr;
    snd_mixer_elem_t* mux_ = nullptr;
    std::vector<snd_mixer_elem_t*> switches_;
};

}  // namespace

std::unique_ptr<MixerDevice> CreateSystemMixer() { return std::make_unique<AlsaMixer>(); }
#else
std::unique_ptr<MixerDevice> CreateSystemMixer() { return nullptr; }
#endif

}  // namespace shell
