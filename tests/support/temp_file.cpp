#include "temp_file.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::string testFolder()
{
    mkdir(TEST_FILES_DIR, 0700); // made once; EEXIST after that
    return TEST_FILES_DIR "/";
}

TempFile::TempFile(const std::string &stem, bool made)
{
    std::string pattern = testFolder() + stem + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp " + pattern);
    close(fd);
    path = name.data();
    if (!made)
        unlink(path.c_str());
}

TempFile::~TempFile()
{
    unlink(path.c_str());
}

std::string fileText(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
