// Tracks of a served media file and the table that holds them.
#include "AviTrack.hh"

#include "yvk_demux.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#define AVI_LOG(fmt, ...) std::printf("[%s:%d] " fmt, __func__, __LINE__, ##__VA_ARGS__)

namespace {

char const* keyOf(unsigned trackNumber) {
    return reinterpret_cast<char const*>(static_cast<uintptr_t>(trackNumber));
}

bool storeUnit(unsigned char* buffer, unsigned& storedSize, const unsigned char* unit, unsigned size) {
    if (buffer == nullptr) return false;
    if (size > AviTrack::kParameterSetCapacity) {
        AVI_LOG("parameter set of %u bytes does not fit %u; skipped\n", size, AviTrack::kParameterSetCapacity);
        return false;
    }
    std::memcpy(buffer, unit, size);
    storedSize = size;
    return true;
}

} // namespace

AviTrack::~AviTrack() {
    if (demuxHandle != nullptr && ownsDemuxHandle != 0) YVK_StreamerDemuxClose(demuxHandle);
    delete[] spsData;
    delete[] ppsData;
}

bool AviTrack::allocateParameterSets() {
    if (spsData == nullptr) spsData = new (std::nothrow) unsigned char[kParameterSetCapacity]();
    if (ppsData == nullptr) ppsData = new (std::nothrow) unsigned char[kParameterSetCapacity]();
    return spsData != nullptr && ppsData != nullptr;
}

bool AviTrack::storeSps(const unsigned char* unit, unsigned size) {
    if (!storeUnit(spsData, spsSize, unit, size)) return false;
    ++parameterSetsVersion;
    return true;
}

bool AviTrack::storePps(const unsigned char* unit, unsigned size) {
    if (!storeUnit(ppsData, ppsSize, unit, size)) return false;
    ++parameterSetsVersion;
    return true;
}

AviTrackTable::AviTrackTable() : fTable(HashTable::create(ONE_WORD_HASH_KEYS)) {}

AviTrackTable::~AviTrackTable() {
    AviTrack* track;
    while ((track = static_cast<AviTrack*>(fTable->RemoveNext())) != nullptr) delete track;
    delete fTable;
}

void AviTrackTable::add(AviTrack* track) {
    if (track == nullptr) return;
    auto* replaced = static_cast<AviTrack*>(fTable->Add(keyOf(track->trackNumber), track));
    if (replaced != track) delete replaced;
}

AviTrack* AviTrackTable::lookup(unsigned trackNumber) const {
    return static_cast<AviTrack*>(fTable->Lookup(keyOf(trackNumber)));
}

unsigned AviTrackTable::numTracks() const { return fTable->numEntries(); }

AviTrackTableIterator::AviTrackTableIterator(AviTrackTable& table)
    : fIter(HashTable::Iterator::create(*table.fTable)) {}

AviTrackTableIterator::~AviTrackTableIterator() { delete fIter; }

AviTrack* AviTrackTableIterator::next() {
    char const* key;
    return static_cast<AviTrack*>(fIter->next(key));
}
