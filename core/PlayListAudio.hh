// The audio of a play list as one stream of 16-bit PCM in the format of its
// first entry (what the session announced): MP3 entries are decoded, and
// entries of another rate or channel count are converted, so the audio
// that follows a join plays at the right speed and pitch.
#ifndef YVK_PLAY_LIST_AUDIO_HH
#define YVK_PLAY_LIST_AUDIO_HH

#include <cstdint>
#include <vector>

class PlayListAudio {
public:
    PlayListAudio() = default;
    ~PlayListAudio();
    PlayListAudio(const PlayListAudio&) = delete;
    PlayListAudio& operator=(const PlayListAudio&) = delete;

    // The format every entry is delivered in (the first entry's).
    void setTarget(int sampleRate, int channels);
    int targetRate() const { return fTargetRate; }
    int targetChannels() const { return fTargetChannels; }

    // A new entry (or a seek in one) starts: whatever was pending is
    // dropped; handle is the entry's demux handle (null: none).
    void enterEntry(void* handle);
    // Whether the current entry's audio is delivered as the demux service
    // reads it (16-bit PCM in the target format).
    bool passesThrough() const { return fPassThrough; }
    // Up to capacity bytes of target-format PCM from the current entry (about
    // one decoded block), whole sample frames only; 0 when the entry's audio
    // has ended.
    int read(void* handle, unsigned char* buffer, int capacity);
    // Frees the decoder and the buffers.
    void release();

private:
    bool pullInput(void* handle);
    bool decodeMp3(const unsigned char* data, int size);
    int resampleInto(unsigned char* out, int frames);  // into a buffer of any alignment

    int fTargetRate = 0;
    int fTargetChannels = 0;
    bool fPassThrough = true;
    bool fMp3 = false;
    bool fEnded = false;
    int fInRate = 0;
    int fInChannels = 0;
    void* fDecoder = nullptr;
    std::vector<unsigned char> fCoded;  // one demux read
    std::vector<int16_t> fInput;        // entry-format frames not yet converted
    double fPosition = 0;               // of the next output frame, in input frames
};

#endif // YVK_PLAY_LIST_AUDIO_HH
