// The simulator's end of the control socket (see control_protocol.h): one
// thread accepts, one thread per connection answers its requests in order.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/simulator.h"

namespace zr48sim {

// Makes `directory` (mode 0700) unless it exists, and checks that it is a
// directory of the caller's that nobody else may enter: a user's socket
// directory may lie in /tmp, where anyone could have made it first.
bool MakePrivateDirectory(const std::string& directory, std::string* error);

class ControlServer {
public:
    // `stop` is called for a STOP request.
    ControlServer(Simulator& sim, std::function<void()> stop) : sim_(sim), stop_(std::move(stop)) {}
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds the socket. Its directory must exist, except that the user's
    // own socket directory is made (private to them, see DefaultSocket), and
    // with `makeDirectory` the default one (/run/zr48sim) too. A stale
    // socket left by a simulator that is gone is replaced, a live one is
    // not, nor is anything at the path that is not a socket. The listen
    // queue holds as many connections as the kernel allows (SOMAXCONN).
    bool Start(const std::string& path, bool makeDirectory, std::string* error);
    bool Start(const std::string& path, std::string* error) { return Start(path, false, error); }
    // Closes the socket and every connection, and waits for their threads.
    void Stop();

    // Answers one request line into *out, its storage reused (the
    // connection threads use it; so do tests).
    void Answer(std::string_view line, std::string* out);
    std::string Answer(std::string_view line) {
        std::string out;
        Answer(line, &out);
        return out;
    }

    // Connection threads not yet joined: those serving a client, and those
    // finished since the acceptor last looked.
    size_t ConnectionThreads();

private:
    struct Connection {
        int fd = -1;  // -1 once closed
        std::thread thread;
        bool done = false;  // under mu_: the thread has left Serve
    };

    void AcceptLoop();
    void JoinFinished();
    void Serve(Connection* c);
    using WordViews = std::vector<std::string_view>;
    void Information(const WordViews& words, std::string* out);
    void Line(const WordViews& words, std::string* out);
    void Status(std::string* out);
    void WaitLink(const WordViews& words, std::string* out);

    Simulator& sim_;
    std::function<void()> stop_;
    std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mu_;
    std::list<Connection> connections_;
};

}  // namespace zr48sim
