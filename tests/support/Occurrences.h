#pragma once

#include <cstddef>
#include <string>

namespace tarn {
namespace test {

// How many times piece occurs in text, counting only occurrences that do not overlap; none for an
// empty piece.
inline std::size_t occurrences(const std::string& text, const std::string& piece) {
    if (piece.empty()) {
        return 0;
    }
    std::size_t found = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + piece.size())) {
        ++found;
    }
    return found;
}

}  // namespace test
}  // namespace tarn
