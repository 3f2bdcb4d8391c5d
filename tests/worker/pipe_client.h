// A client of "\\.\pipe\QelTscPipe" for the tests, on the product client's own open and
// transfers (common/control_pipe.h): writes can be queued while the server is held, and
// any message, the malformed included, can be sent.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

namespace pipe_client {

class Connection {
public:
    // Opens the pipe as the product's client does (message read mode). wait_ms > 0: retries
    // while it is busy, at most that long. *error gets the last error when it could not be opened.
    static Connection open(DWORD wait_ms, DWORD* error, DWORD extra_access = 0);
    Connection(Connection&&) noexcept;
    Connection& operator=(Connection&&) noexcept;
    ~Connection();

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return handle_; }
    // Queues one message; it may complete later (see wait_sent).
    bool send(const std::string& bytes);
    // Waits until every queued message is in the pipe; false when one failed or timed out.
    bool wait_sent(DWORD timeout_ms);
    // Reads one message. false, with *error, when the read failed or timed out (WAIT_TIMEOUT).
    bool receive(std::string* message, DWORD timeout_ms, DWORD* error);
    void close();

private:
    Connection() = default;
    struct Write;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::vector<std::unique_ptr<Write>> writes_;
};

// Connects, sends the requests, reads the reply and closes; "" when anything failed.
std::string exchange(const std::vector<std::string>& requests = {});

// Holds the pipe thread (suspended) while a client connects and queues its requests, so
// that they are all in the pipe before the server's first read; then reads the reply.
// The thread is the one the fake daemon saw read the state. "" when anything failed.
std::string held_exchange(const std::vector<std::string>& requests);

} // namespace pipe_client
