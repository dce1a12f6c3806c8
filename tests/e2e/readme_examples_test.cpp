// The examples in the documents are what the simulated board really prints:
// README.md's and docs/boardsim.md's runs of ./run.sh, the help and the
// refusals in docs/boardsim.md, and the OUTPUT examples of porttest(1).
#include "bench.h"
#include "board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

struct Example {
    std::string name;
    std::string keys;
    std::vector<std::string> options;
    std::string output; // what follows the banner
};

const std::string kReadme = DOCS_ROOT "/README.md", kBoardsimDoc = DOCS_ROOT "/docs/boardsim.md",
                  kPorttestPage = DOCS_ROOT "/man/porttest.1";

// "--fault 'ttyT9Sy*=full'" -> "full": the kind an option names.
std::string kindOf(const std::string &option)
{
    return option.substr(option.find('=') + 1);
}

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

// A name from the faults an example shows (and its keys, if not "2").
std::string nameOf(const std::string &keys, const std::vector<std::string> &options)
{
    std::string name;
    for (size_t i = 1; i < options.size(); i += 2)
        if (name.find(kindOf(options[i])) == std::string::npos)
            name += (name.empty() ? "" : "_") + kindOf(options[i]);
    if (keys != "2")
        name += "_keys" + keys;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// Blocks of the form: ```, "$ printf KEYS | ./run.sh OPTIONS", output lines, ```
void markdownExamples(const std::string &path, const std::string &prefix, std::vector<Example> *examples)
{
    const std::string printf = "$ printf ", command = " | ./run.sh ";
    std::ifstream doc(path);
    std::string line;
    Example *open = nullptr;
    while (std::getline(doc, line)) {
        const size_t run = line.find(command);
        if (line.rfind(printf, 0) == 0 && run != std::string::npos) {
            const std::string keys = line.substr(printf.size(), run - printf.size());
            const std::vector<std::string> options = shellWords(line.substr(run + command.size()));
            examples->push_back({prefix + nameOf(keys, options), keys, options, ""});
            open = &examples->back();
        } else if (open != nullptr && line == "```") {
            open = nullptr;
        } else if (open != nullptr) {
            open->output += line + "\n";
        }
    }
}

// The manual page's: a comment `.\" example NAME: KEYS OPTIONS...`, then
// a .nf block of output, roff escapes and all; the banner, if shown, is cut.
void manualExamples(const std::string &path, std::vector<Example> *examples)
{
    const std::string mark = ".\\\" example ";
    std::ifstream page(path);
    std::string line;
    Example *open = nullptr;
    while (std::getline(page, line)) {
        if (line.rfind(mark, 0) == 0) {
            const size_t colon = line.find(':');
            std::vector<std::string> words = shellWords(line.substr(colon + 2));
            const std::string keys = words.front();
            words.erase(words.begin());
            examples->push_back({"man_" + line.substr(mark.size(), colon - mark.size()), keys, words, ""});
            open = &examples->back();
        } else if (open != nullptr && line == ".fi") {
            if (open->output.rfind(kBanner, 0) == 0)
                open->output.erase(0, kBanner.size());
            open = nullptr;
        } else if (open != nullptr && line[0] != '.') {
            for (const auto &[escape, plain] : {std::pair<std::string, std::string>{"\\-", "-"}, {"\\(aq", "'"}})
                for (size_t at; (at = line.find(escape)) != std::string::npos;)
                    line.replace(at, escape.size(), plain);
            open->output += line + "\n";
        }
    }
}

std::vector<Example> documentedExamples()
{
    std::vector<Example> examples;
    markdownExamples(kReadme, "readme_", &examples);
    markdownExamples(kBoardsimDoc, "", &examples);
    manualExamples(kPorttestPage, &examples);
    return examples;
}

void PrintTo(const Example &example, std::ostream *out)
{
    *out << example.keys << " ";
    for (const std::string &option : example.options)
        *out << option << " ";
}

} // namespace

class DocumentedExample : public testing::TestWithParam<Example> {};

TEST_P(DocumentedExample, PrintsWhatTheDocumentSays)
{
    const BoardRun run = runWithKeys(GetParam().options, GetParam().keys);
    EXPECT_EQ(run.output, kBanner + GetParam().output) << run.why();
}

INSTANTIATE_TEST_SUITE_P(Docs, DocumentedExample, testing::ValuesIn(documentedExamples()),
                         [](const testing::TestParamInfo<Example> &info) { return info.param.name; });

TEST(Docs, EveryFaultKindHasAnExample)
{
    std::vector<Example> examples;
    markdownExamples(kBoardsimDoc, "", &examples);
    for (const board::FaultName &fault : board::kFaultNames)
        EXPECT_TRUE(std::any_of(examples.begin(), examples.end(), [&](const Example &example) {
            return kindOf(example.options.back()) == fault.name;
        })) << fault.name;
}

// The document's copy of the help, between its marker and the end of the block.
TEST(Docs, ShowsTheSimulatorsHelpAsItPrints)
{
    std::ifstream readme(kBoardsimDoc);
    std::string line, copy;
    while (std::getline(readme, line) && line != "<!-- boardsim --help -->") {
    }
    std::getline(readme, line); // the block's opening fence
    while (std::getline(readme, line) && line != "```")
        copy += line + "\n";
    EXPECT_EQ(copy, runToEnd({BOARDSIM_BINARY, "--help"}).output);
}

// The document's table of refusals, between its marker and the first line
// that is not a row: each given as boardsim's options, refused as it says.
TEST(Docs, EveryRefusalInItsTableIsBoardsimsOwn)
{
    std::ifstream readme(kBoardsimDoc);
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
