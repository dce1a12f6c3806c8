// The simulated board as boardsim serves it, on a thread of its own.
//
// Each node is a pseudo-terminal whose master boardsim holds and whose slave
// only programs open: inotify tells every open and close of it, however the
// descriptor went (a close, an exit, a forked child's copy, SIGKILL), and
// while none has it open the master hangs up. The thread plays the plug on
// each master, follows those opens and closes as the board's driver would
// (the last close drops RTS and DTR with HUPCL set, and loses what was on its
// way), takes the changes programs tell it and answers the questions they
// ring its doorbell for (protocol.h). It alone holds the board's state, and publishes what
// programs read often in a page they can only read. It runs at real-time
// priority where that is allowed, so that the plug answers within a
// program's 10 ms probe wait on a busy machine; the launcher's thread does
// the slow work (starting COMMAND, writing the reports).
//
//   standUp(faults, clockStepUs, reporting, &error)
//                               the nodes, the socket and the page; false
//                               with why not.
//   name(), pagePath()          for the programs' environment.
//   start(), stop()             the thread; stop() ends it once every close
//                               the kernel has told is followed.
//   reportReadyFd()              polls readable when a new snapshot waits;
//                               takeSnapshot() takes it, reportWritten(g)
//                               releases the closes that wait for it.
//   snapshot()                  after stop(): the board as it ended.
//   settingsOf(node, &t)        a node's settings now (any thread).
#pragma once

#include "plug.h"
#include "protocol.h"
#include "published.h"
#include "report.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Whether any descriptor of a node's slave is open (its master has not hung
// up).
bool slaveOpen(int master);

class BoardServer {
public:
    BoardServer() = default;
    ~BoardServer();
    BoardServer(const BoardServer &) = delete;
    BoardServer &operator=(const BoardServer &) = delete;

    bool standUp(const unsigned faults[board::kNodes], int64_t clockStepUs, bool reporting, std::string *error);
    std::string name() const
    {
        return name_;
    }
    std::string pagePath() const;
    void start();
    void stop();

    int reportReadyFd() const
    {
        return reportReady_;
    }
    bool takeSnapshot(Snapshot *out);
    void reportWritten(uint64_t generation);
    Snapshot snapshot() const;
    bool settingsOf(int node, struct termios *t) const;

private:
    struct Node {
        int master = -1;
        char slavePath[32] = {};
        unsigned faults = 0;
        int openFiles = 0;  // open descriptions of the slave, as the kernel tells them
        int untold = 0;     // of the opens the kernel told, those no program has told yet
        uint32_t lines = 0; // RTS, DTR and the frame bits, as programs left them
        NodeRecord record;  // the counts the report shows
        uint32_t atLastClose = 0;
        struct termios whileClosed; // its settings: nobody can change them then
        uint32_t frameWhileClosed = 0;
        Plug plug;
    };
    struct Connection {
        int fd;
        pid_t pid;      // the program on it
        uint64_t holds; // the nodes it has shown it has open, a bit each
    };
    struct Question {
        int fd;
        protocol::Request request;
    };
    struct Waiter { // a program whose close waits for the report
        int fd;
        protocol::Reply reply;
        uint64_t generation;
    };

    bool createNode(int index, std::string *error);
    bool listen(std::string *error);
    bool publishPage(std::string *error);
    void publish(int index);
    void run();
    bool watchEvents(std::string *error);
    bool watch(int fd, uint32_t tag, uint32_t events);
    void armTimer(int64_t dueUs);
    int64_t nextDueUs() const;
    void followKernel();
    void countOpen(Node &n);
    void reconcile(int index, bool overflowed);
    void lastClose(int index, bool reopened);
    void deliverDue(int64_t nowUs);
    void moveBytes(const bool readable[board::kNodes], int64_t nowUs);
    void takeOff(int index, int64_t nowUs);
    void stepClock(int64_t nowUs);
    void changed();
    void trySnapshot();
    NodeRecord recordOf(const Node &n) const;

    void accept();
    void listenFor(bool on);
    void readConnections();
    Connection *connectionOf(int fd);
    bool holds(Connection &c, int node);
    void apply(const protocol::Request &change);
    bool toldOpen(Connection &c, const protocol::Request &request);
    void takeToldOf(int index);
    bool waitsForKernel(int fd, const protocol::Request &request);
    void told(Connection &from, const protocol::Request &request);
    void answerQuestions();
    void dropConnection(int fd);
    void releaseWaiters();

    Node nodes_[board::kNodes];
    std::string name_;
    // launcherCalls_: the launcher's thread wants the board's, to stop it or to
    // release the closes a written report waits for.
    int listener_ = -1, doorbell_ = -1, inotify_ = -1, launcherCalls_ = -1, reportReady_ = -1;
    int connectionSet_ = -1; // an epoll set nobody waits on: read when the board wakes
    // What the board's thread waits on: the masters (tagged with their
    // index), then its own five.
    int boardSet_ = -1, timer_ = -1;
    static constexpr int64_t kFired = INT64_MIN;
    int64_t armedUs_ = -1; // the deadline on the timer: -1 none, kFired gone off
    // When the kernel woke the thread: how late that was is the machine's,
    // what the thread does after is the board's own (Plug::deliver).
    int64_t awakeUs_ = 0;
    static constexpr int kOwnEvents = 5;
    static constexpr uint32_t kListenerTag = board::kNodes, kLauncherTag = board::kNodes + 1,
                              kOtherTag = board::kNodes + 2;
    int watches_[board::kNodes] = {};
    std::vector<Connection> connections_;
    size_t maxConnections_ = 0; // what the descriptor limit leaves room for
    std::vector<Question> questions_;
    std::vector<Waiter> waiters_;
    bool reporting_ = false;
    int openOrder_ = 0;

    int64_t clockStepUs_ = 0, stepDueUs_ = -1;
    int pageFd_ = -1;
    protocol::PublishedPage *page_ = nullptr;

    // Reports: the board's count of changes, the snapshot waiting for the
    // launcher (taken only when the lock is free: the board's thread never
    // waits for the launcher's), and what the launcher has written.
    uint64_t generation_ = 1;
    int64_t snapshotRetryUs_ = -1;
    std::mutex snapshotLock_;
    Snapshot pending_;
    bool fresh_ = false;
    std::atomic<uint64_t> reportedGeneration_{0};

    std::thread thread_;
    std::atomic<bool> stopping_{false};
};
