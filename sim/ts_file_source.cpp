#include "sim/ts_file_source.h"

#include "sim/ts_packet.h"

namespace sim {

TsFileSource::TsFileSource(const std::string& path, TsFileSourceOptions options)
    : options_(options),
      file_(path, std::ios::binary | std::ios::ate),
      pacer_(options.bitsPerSecond, options.realTime) {
    if (!file_) return;
    const std::streamoff end = file_.tellg();
    if (end <= 0) return;
    size_ = static_cast<uint64_t>(end);
    file_.seekg(0);
}

bool TsFileSource::Ended() const {
    std::lock_guard guard(lock_);
    return !options_.loop && position_ >= size_;
}

size_t TsFileSource::Read(uint8_t* out, size_t capacity) {
    std::lock_guard guard(lock_);
    if (size_ == 0) return 0;
    size_t wanted = pacer_.Allowance(capacity);
    // Whole packets keep the reader's transfers aligned with the packets.
    if (wanted >= ts::kPacketBytes) wanted -= wanted % ts::kPacketBytes;
    size_t done = 0;
    while (done < wanted) {
        if (position_ >= size_) {
            if (!options_.loop) break;
            position_ = 0;
            file_.clear();
            file_.seekg(0);
        }
        const uint64_t left = size_ - position_;
        const size_t chunk = static_cast<size_t>(left < wanted - done ? left : wanted - done);
        file_.read(reinterpret_cast<char*>(out + done), static_cast<std::streamsize>(chunk));
        const auto got = static_cast<size_t>(file_.gcount());
        if (got == 0) break;
        done += got;
        position_ += got;
    }
    pacer_.Sent(done);
    return done;
}

}  // namespace sim
