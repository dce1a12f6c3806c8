// The fault examples in README.md are what the simulated board really prints.
#include "bench.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

struct Example {
    std::vector<std::string> options;
    std::string output;
};

// "--fault 'ttyT9Sy*=full'" -> {"--fault", "ttyT9Sy*=full"}: the README only
// quotes with single quotes.
std::vector<std::string> shellWords(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (char c : line) {
        if (c == '\'') {
            quoted = !quoted;
            inWord = true;
        } else if (c == ' ' && !quoted) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

// Blocks of the form: ```, "$ printf 2 | ./run.sh OPTIONS", output lines, ```
std::vector<Example> readmeExamples()
{
    const std::string command = "$ printf 2 | ./run.sh ";
    std::ifstream readme(README_PATH);
    std::vector<Example> examples;
    std::string line;
    Example *open = nullptr;
    while (std::getline(readme, line)) {
        if (line.rfind(command, 0) == 0) {
            examples.push_back({shellWords(line.substr(command.size())), ""});
            open = &examples.back();
        } else if (open != nullptr && line == "```") {
            open = nullptr;
        } else if (open != nullptr) {
            open->output += line + "\n";
        }
    }
    return examples;
}

} // namespace

TEST(Readme, FaultExamplesPrintWhatTheReadmeSays)
{
    const std::vector<Example> examples = readmeExamples();
    EXPECT_GE(examples.size(), 15u) << "one example per kind of fault";
    for (const Example &example : examples) {
        const BoardRun run = runWithKeys(example.options, "2");
        EXPECT_EQ(run.output, kBanner + example.output) << example.options.back() << run.why();
    }
}
