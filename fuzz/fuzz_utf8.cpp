// Both UTF-8 validators against a plain decoder, one code point at a time.
//
// The portable validator skips ASCII 16 bytes at a time and checks other
// characters one by one; the AVX2 one classifies 32-byte blocks and pads
// the last one.  So beside the input itself the target checks every prefix
// and suffix (cuts at every block boundary), misaligned copies, and the
// input inside long ASCII runs.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "utf8.hpp"

namespace {

void agree(std::string_view s) {
  const bool slow = fuzz::reference_valid_utf8(s);
  for (marlet_core::Isa isa : {marlet_core::Isa::portable, marlet_core::best_isa()}) {
    const bool fast = marlet_core::is_valid_utf8(s.data(), s.size(), isa);
    if (fast != slow) {
      std::fprintf(stderr, "is_valid_utf8 (%s) says %d, the reference says %d, on %zu bytes\n",
                   isa == marlet_core::Isa::avx2 ? "avx2" : "portable", fast, slow, s.size());
      fuzz::fail("UTF-8 validators disagree");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view s(reinterpret_cast<const char*>(data), size);
  agree(s);

  // Cuts: all of them for short inputs, otherwise a spread that includes
  // the ends and the block boundaries near them.
  std::vector<std::size_t> cuts;
  if (size <= 256) {
    for (std::size_t i = 1; i < size; ++i) cuts.push_back(i);
  } else {
    for (std::size_t i = 1; i <= 70; ++i) {
      cuts.push_back(i);
      cuts.push_back(size - i);
    }
    for (std::size_t i = 128; i < size; i += 61) cuts.push_back(i);
  }
  for (std::size_t at : cuts) {
    agree(s.substr(0, at));
    agree(s.substr(at));
  }

  // Misaligned copies: the block loads must not depend on alignment.
  std::vector<char> buf(size + 16);
  for (std::size_t offset : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{9}}) {
    if (size != 0) std::memcpy(buf.data() + offset, data, size);
    agree(std::string_view(buf.data() + offset, size));
  }

  // The input behind and before ASCII runs long enough for the 64-byte
  // blocks, so it is reached from inside the fast path.
  std::string padded(67, 'a');
  padded.append(s);
  padded.append(71, 'z');
  agree(padded);
  return 0;
}
