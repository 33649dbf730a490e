// Fuzz target for the playing-time reader: any bytes as a track's start. The reader must
// never ask for bytes past the tag the header announces, nor past the end of the data.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tag.h"

namespace {

class MemorySource : public gannet::TagSource {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Read(void* buffer, DWORD n) override {
    if (n > size_ - pos_) return false;
    std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    Check();
    return true;
  }
  bool Skip(DWORD n) override {
    // Like a file pointer: moving past the end works, the next read fails.
    pos_ = n > size_ - pos_ ? size_ : pos_ + n;
    Check();
    return true;
  }

 private:
  void Check() const {
    if (size_ < 10) return;
    const std::uint64_t tag_end = 10 + ((std::uint64_t{data_[6]} & 0x7F) << 21) +
                                  ((std::uint64_t{data_[7]} & 0x7F) << 14) +
                                  ((std::uint64_t{data_[8]} & 0x7F) << 7) + (data_[9] & 0x7F);
    if (pos_ > tag_end) std::abort();  // read past the tag
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemorySource source(data, size);
  const DWORD seconds = gannet::ReadPlayLength(source);
  if (seconds > 0x7FFFFFFFu / 1000u + 1) std::abort();  // from a non-negative int of milliseconds
  return 0;
}
