// A file of the test's own in the tests' folder: made by mkstemp, so that
// suites running side by side never share a name, and removed when the
// object goes, pass or fail.
#pragma once

#include <string>

// The folder, with a trailing slash, for the tests' own files and folders.
// It is in the build tree, not the machine's temporary folder: a test killed
// outright (by its timeout, or by hand) cannot remove what it made, and what
// it leaves then goes with the build.
std::string testFolder();

struct TempFile {
    std::string path;
    // Made empty, named after `stem`. With made == false the unique name is
    // kept but the file is removed at once, for a test that checks whether
    // something creates it.
    explicit TempFile(const std::string &stem, bool made = true);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
};

std::string fileText(const std::string &path);
