// Latin-1 text files: lines end at CR, LF or CR LF when read; CR LF when written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zenta::lang {

// A final line end does not start another line; "" gives no lines.
std::vector<std::string> splitLines(std::string_view bytes);
std::string joinLines(const std::vector<std::string> &lines);  // each line + CR LF

}  // namespace zenta::lang
