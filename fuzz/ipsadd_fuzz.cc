// ipsadd on arbitrary offset text and data sizes.
//
// Input: the length n of the offset text, n bytes of text, three bytes of
// data size, one seed byte for the data's content, and the
// rest as what tesk.ips already holds. An accepted run must append records
// that, read back, put the data at the offset; a refused one changes nothing.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "fuzz/fuzz_support.h"
#include "ipsadd/ipsadd.h"

namespace {

using fuzz_support::Bytes;
using fuzz_support::Check;

// An independent reading of the offset rule: white space, '+', 0x, digits.
bool OffsetAcceptable(const std::string& text, std::uint64_t* value) {
  std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string::npos) return false;
  if (text[i] == '+') ++i;
  if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) ++i, ++i;
  const std::string digits = text.substr(i);
  if (digits.empty() || digits.size() > 40 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  const std::size_t significant = digits.find_first_not_of('0');
  if (significant != std::string::npos && digits.size() - significant > 6)
    return false;
  *value = std::stoull(digits, nullptr, 16);
  return *value != 0x454F46;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  fuzz_support::EnterScratchDirectory("ipsadd-fuzz");
  const std::size_t text_size = std::min<std::size_t>(data[0], size - 1);
  const std::string offset_text(data + 1, data + 1 + text_size);
  std::size_t p = 1 + text_size;
  std::uint32_t data_size = 0;
  std::uint8_t seed = 0;
  if (p + 4 <= size) {
    data_size = (std::uint32_t{data[p]} << 16 |
                 std::uint32_t{data[p + 1]} << 8 | data[p + 2]);
    seed = data[p + 3];
    // Mostly up to a few records; with the seed's top bit, up to 16 MiB.
    if ((seed & 0x80) == 0) data_size %= 200000;
    p += 4;
  }
  const Bytes old_ips(data + p, data + size);
  Bytes content(data_size);
  for (std::size_t i = 0; i < content.size(); ++i) {
    content[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 8));
  }
  fuzz_support::WriteFile("data", content);
  fuzz_support::WriteFile("tesk.ips", old_ips);

  std::ostringstream out, err;
  const int status = ipsadd::Run({"data", offset_text}, out, err);
  const Bytes ips = fuzz_support::ReadFile("tesk.ips");
  fuzz_support::CheckNoTemporaries();
  std::uint64_t offset = 0;
  const bool acceptable = OffsetAcceptable(offset_text, &offset);
  if (status != 0) {
    Check(ips == old_ips, "a refused run changed tesk.ips");
    Check(!acceptable || data_size == 0 ||
              offset + data_size > 0x1000000 - 0xFFFF,
          "a good offset and data size were refused");
    return 0;
  }
  Check(acceptable && data_size > 0, "a bad offset or empty data was accepted");
  Check(out.str().empty(), "output on success");
  Check(ips.size() > old_ips.size() &&
            std::equal(old_ips.begin(), old_ips.end(), ips.begin()),
        "the old content of tesk.ips changed");
  // Read the records back: they must put the data at the offset, in order.
  std::uint64_t expect_start = offset;
  std::size_t taken = 0;
  for (std::size_t q = old_ips.size(); q < ips.size();) {
    Check(q + 5 <= ips.size(), "a cut record header");
    const std::uint64_t start = std::uint64_t{ips[q]} << 16 |
                                std::uint64_t{ips[q + 1]} << 8 | ips[q + 2];
    const std::size_t length = std::size_t{ips[q + 3]} << 8 | ips[q + 4];
    Check(start == expect_start, "a record at the wrong offset");
    Check(start != 0x454F46, "a record starts at the end marker");
    Check(length > 0 && q + 5 + length <= ips.size(), "a bad record size");
    Check(std::equal(ips.begin() + static_cast<std::ptrdiff_t>(q + 5),
                     ips.begin() + static_cast<std::ptrdiff_t>(q + 5 + length),
                     content.begin() + static_cast<std::ptrdiff_t>(taken)),
          "record data differs");
    taken += length;
    expect_start += length;
    q += 5 + length;
  }
  Check(taken == content.size(), "not all the data was appended");
  return 0;
}
