// The report: what boardsim says of every node, written whole to a file.
//
//   Snapshot                    the board as the report shows it, taken by
//                               the board's thread and written by the
//                               launcher's.
//   reportText(snapshot, settingsOf)
//                               a line a node, then one a node for what its
//                               last close did to RTS and DTR, then the
//                               board's own late deliveries. settingsOf(i,
//                               &t) reads node i's settings now (false: none).
//   describeSettings(t, buf, size)
//                               a node's settings in the report's words:
//                               "9600/7E2,cflag=5ed,...".
//   reportRefusal(path)         "" if reports can go to path (absolute): a
//                               regular file or none, in a folder that takes
//                               a new file; else why not.
//   writeWhole(path, text, &error)
//                               to a new file beside path, renamed over it:
//                               a reader sees the old report or the new one,
//                               never part of one, and whatever was put at the
//                               path since (a symlink, a FIFO) is replaced,
//                               not followed. False, with the error's text.
#pragma once

#include "board.h"

#include <cstdint>
#include <functional>
#include <string>
#include <termios.h>

enum class LastClose { Never, Dropped, Kept }; // with HUPCL set, or clear

struct NodeRecord {
    int opens = 0, closes = 0, order = 0; // order: of its last open among all
    int rts = 0, dtr = 0;                 // as programs left them (before a last close's drop)
    int rtsNow = 0, dtrNow = 0;
    long written = 0;
    LastClose lastClose = LastClose::Never;
    bool notATty = false;
    tcflag_t frame = 0;    // the frame bits of its settings
    char first[160] = "-"; // its settings at its first open
};

struct Snapshot {
    uint64_t generation = 0; // the board's count of changes when it was taken
    NodeRecord nodes[board::kNodes];
    long late = 0;        // bytes the plug handed back over 1 ms past their time
    int64_t latestUs = 0; // the latest of those
};

std::string reportText(const Snapshot &snapshot, const std::function<bool(int, struct termios *)> &settingsOf);
void describeSettings(const struct termios &t, char *buf, size_t size);
std::string reportRefusal(const std::string &path);
bool writeWhole(const std::string &path, const std::string &text, std::string *error);
