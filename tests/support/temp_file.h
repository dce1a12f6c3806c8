// A file of the test's own in the temporary folder: made by mkstemp, so that
// suites running side by side never share a name, and removed when the
// object goes, pass or fail.
#pragma once

#include <string>

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
