// Tracks of a served media file and the table that holds them.
#ifndef YVK_AVI_TRACK_HH
#define YVK_AVI_TRACK_HH

#include "yvkstreamer_core.h"

#include <HashTable.hh>

#include <cstdint>

// The subtitle switch and callback of the file configuration, handed to the
// file object and kept for every parser it creates.
struct FileUserDataArg {
    int32_t textEnable;                    // non-zero: subtitle text to textCallback
    YVKStreamerTextCallback textCallback;  // 0 when textEnable is 0
};

// One audio or video track found at the start of a file.  Created by the
// file parser, owned by the track table.
class AviTrack {
public:
    static constexpr unsigned kParameterSetCapacity = 128;

    AviTrack() = default;
    virtual ~AviTrack();
    AviTrack(const AviTrack&) = delete;
    AviTrack& operator=(const AviTrack&) = delete;

    // Gives the track its two 128-byte parameter-set buffers (video only).
    bool allocateParameterSets();
    // Stores an SPS or PPS unit (header byte included); a unit that does not
    // fit the buffer is skipped.  False when skipped.
    bool storeSps(const unsigned char* unit, unsigned size);
    bool storePps(const unsigned char* unit, unsigned size);

    unsigned trackNumber = 0;          // key in the table, from 1
    unsigned char isVideo = 0;
    char const* mimeType = nullptr;    // "audio/L16", "audio/aac" or "video/H264"
    unsigned samplingFrequency = 48000;
    unsigned numChannels = 2;
    unsigned estBitrate = 100;         // audio: bytes per second; video: kbit/s
    unsigned audioConverted = 0;       // MP3 converted to AAC
    unsigned char* spsData = nullptr;  // without start code
    unsigned spsSize = 0;
    unsigned char* ppsData = nullptr;
    unsigned ppsSize = 0;
    void* demuxHandle = nullptr;       // demux-service handle the track is read through
    unsigned ownsDemuxHandle = 0;      // 1: closed with the track
    unsigned parameterSetsVersion = 0; // counts the SPS and PPS stored (SDP lines built from them go stale)
};

// Tracks by number.  Owns its tracks.
class AviTrackTable {
public:
    AviTrackTable();
    virtual ~AviTrackTable();
    AviTrackTable(const AviTrackTable&) = delete;
    AviTrackTable& operator=(const AviTrackTable&) = delete;

    // Stores the track under its number, deleting one it replaces.
    void add(AviTrack* track);
    AviTrack* lookup(unsigned trackNumber) const;
    unsigned numTracks() const;

private:
    friend class AviTrackTableIterator;
    HashTable* fTable;
};

// Walks a track table; the table must outlive the iterator.
class AviTrackTableIterator {
public:
    explicit AviTrackTableIterator(AviTrackTable& table);
    virtual ~AviTrackTableIterator();
    AviTrackTableIterator(const AviTrackTableIterator&) = delete;
    AviTrackTableIterator& operator=(const AviTrackTableIterator&) = delete;

    AviTrack* next();  // null after the last one

private:
    HashTable::Iterator* fIter;
};

#endif // YVK_AVI_TRACK_HH
