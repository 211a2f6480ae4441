// Checks the conversion and the mapping of any text against a model built
// on the C library's strtoll, clamped to the 32-bit range.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lptline.h"

namespace {

std::int64_t model_value(const char *text) {
	const long long value = std::strtoll(text, nullptr, 10);
	if (value > INT32_MAX)
		return INT32_MAX;
	if (value < INT32_MIN)
		return INT32_MIN;
	return value;
}

unsigned model_byte(std::int64_t value) {
	if (value >= 1 && value <= 8)
		return 1U << (value - 1);
	return static_cast<unsigned>(value & 0xFF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
	// Like argv: the text ends at the first NUL.
	const std::string text(reinterpret_cast<const char *>(data), size);
	const std::int32_t value = parse_line(text.c_str());
	const std::int64_t expected = model_value(text.c_str());
	if (value != expected || line_to_byte(value) != model_byte(expected))
		std::abort();
	return 0;
}
