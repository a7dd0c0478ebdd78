#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The input format of the targets that feed several datagrams to one receiver, so that a binding
// can precede the relay request that names it: each record is a header byte whose bits the target
// interprets (which sender, which socket, how much time passed), a two-byte big-endian length and
// that many datagram bytes (fewer when the input ends first).
namespace tarn::fuzz {

struct DatagramRecord {
    std::uint8_t header = 0;
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
};

class DatagramRecords {
public:
    DatagramRecords(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    // The next record; false once the input is used up.
    bool next(DatagramRecord& record) {
        if (size_ - offset_ < 3) {
            return false;
        }
        record.header = data_[offset_];
        const std::size_t length = (std::size_t{data_[offset_ + 1]} << 8) | data_[offset_ + 2];
        offset_ += 3;
        record.bytes = data_ + offset_;
        record.length = length < size_ - offset_ ? length : size_ - offset_;
        offset_ += record.length;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// Appends one record in that format, for the seed corpus.
inline void appendRecord(std::string& input, std::uint8_t header, const std::string& datagram) {
    input.push_back(static_cast<char>(header));
    input.push_back(static_cast<char>((datagram.size() >> 8) & 0xFF));
    input.push_back(static_cast<char>(datagram.size() & 0xFF));
    input += datagram;
}

}  // namespace tarn::fuzz
