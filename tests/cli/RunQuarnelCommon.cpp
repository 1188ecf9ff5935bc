// The parts of RunQuarnel.h that are the same on every system; starting the program is in
// RunQuarnel.cpp (Linux) and RunQuarnelWindows.cpp.
#include "RunQuarnel.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> TRunResult::OutLines() const {
    std::vector<std::string> lines = SplitLines(out);
    for (auto& l : lines)
        while (!l.empty() && l.back() == ' ')
            l.pop_back();
    return lines;
}

std::string ExamplePath(const std::string& relative) {
    return std::string(QUARNEL_EXAMPLES_DIR) + "/" + relative;
}

std::string CliDataPath(const std::string& name) {
    return std::string(QUARNEL_CLI_TEST_DATA) + "/" + name;
}

std::vector<unsigned char> ReadBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TScratchDir::TScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarnel-cli-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
}

TScratchDir::~TScratchDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}
