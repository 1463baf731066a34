// Alone in its file: the data folder's path, given to this file by the build, differs from
// clone to clone, and any file that saw it would miss ccache in every fresh clone.
#include <string>

namespace vktest {

std::string DataFile(const std::string& name) { return std::string(VK_TEST_DATA_DIR) + "/" + name; }

} // namespace vktest
