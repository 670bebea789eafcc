#include "support/read_file.h"

#include <fstream>
#include <sstream>

namespace kytest {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace kytest
