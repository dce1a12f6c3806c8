// The fault examples in README.md are what the simulated board really prints.
#include "bench.h"
#include "board.h"

#include <gtest/gtest.h>

#include <algorithm>
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

void PrintTo(const Example &example, std::ostream *out)
{
    for (const std::string &option : example.options)
        *out << option << " ";
}

} // namespace

// "--fault 'ttyT9Sy*=full'" -> "full": the kind an example shows names it.
std::string kindOf(const Example &example)
{
    const std::string &last = example.options.back();
    return last.substr(last.find('=') + 1);
}

class ReadmeExample : public testing::TestWithParam<Example> {};

TEST_P(ReadmeExample, PrintsWhatTheReadmeSays)
{
    const BoardRun run = runWithKeys(GetParam().options, "2");
    EXPECT_EQ(run.output, kBanner + GetParam().output) << run.why();
}

INSTANTIATE_TEST_SUITE_P(Readme, ReadmeExample, testing::ValuesIn(readmeExamples()),
                         [](const testing::TestParamInfo<Example> &info) {
                             std::string name = kindOf(info.param);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(Readme, EveryFaultKindHasAnExample)
{
    const std::vector<Example> examples = readmeExamples();
    for (const board::FaultName &fault : board::kFaultNames)
        EXPECT_TRUE(std::any_of(examples.begin(), examples.end(), [&](const Example &example) {
            return kindOf(example) == fault.name;
        })) << fault.name;
}

// The README's copy of the help, between its marker and the end of the block.
TEST(Readme, ShowsTheSimulatorsHelpAsItPrints)
{
    std::ifstream readme(README_PATH);
    std::string line, copy;
    while (std::getline(readme, line) && line != "<!-- boardsim --help -->") {
    }
    std::getline(readme, line); // the block's opening fence
    while (std::getline(readme, line) && line != "```")
        copy += line + "\n";
    EXPECT_EQ(copy, runToEnd({BOARDSIM_BINARY, "--help"}).output);
}

// The README's table of refusals, between its marker and the first line
// that is not a row: each given as boardsim's options, refused as it says.
TEST(Readme, EveryRefusalInItsTableIsBoardsimsOwn)
{
    std::ifstream readme(README_PATH);
    std::string line;
    while (std::getline(readme, line) && line != "<!-- refusals -->") {
    }
    std::getline(readme, line); // the table's head
    std::getline(readme, line);
    int rows = 0;
    while (std::getline(readme, line) && line.rfind("| `", 0) == 0) {
        const size_t split = line.find("` | `");
        ASSERT_NE(split, std::string::npos) << line;
        std::vector<std::string> argv = shellWords(line.substr(3, split - 3));
        argv.insert(argv.begin(), BOARDSIM_BINARY);
        argv.insert(argv.end(), {"--", "true"});
        const std::string refusal = line.substr(split + 5, line.rfind("` |") - split - 5);
        const Finished run = runToEnd(argv);
        EXPECT_EQ(run.output, refusal + "\n") << line;
        EXPECT_EQ(exitCode(run.status), 2) << line;
        rows++;
    }
    EXPECT_GT(rows, 10);
}
