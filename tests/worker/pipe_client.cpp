#include "pipe_client.h"

#include "common/control_pipe.h"
#include "support/fake_daemon.h"

namespace pipe_client {

struct Connection::Write {
    OVERLAPPED overlapped = {};
    std::string data;
    bool pending = false;
    bool failed = false;
    ~Write()
    {
        if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
    }
};

Connection Connection::open(DWORD wait_ms, DWORD* error, DWORD extra_access)
{
    Connection c;
    DWORD e = 0;
    c.handle_ = control_pipe_open(wait_ms, &e, extra_access);
    if (!c.valid() && error) *error = e;
    return c;
}

Connection::Connection(Connection&& o) noexcept : handle_(o.handle_), writes_(std::move(o.writes_))
{
    o.handle_ = INVALID_HANDLE_VALUE;
}

Connection& Connection::operator=(Connection&& o) noexcept
{
    if (this != &o) {
        close();
        handle_ = o.handle_;
        writes_ = std::move(o.writes_);
        o.handle_ = INVALID_HANDLE_VALUE;
    }
    return *this;
}

Connection::~Connection()
{
    close();
}

bool Connection::send(const std::string& bytes)
{
    auto w = std::make_unique<Write>();
    w->data = bytes;
    w->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    if (!WriteFile(handle_, w->data.data(), static_cast<DWORD>(w->data.size()), &written, &w->overlapped)) {
        if (GetLastError() == ERROR_IO_PENDING) w->pending = true;
        else w->failed = true;
    }
    bool ok = !w->failed;
    writes_.push_back(std::move(w));
    return ok;
}

bool Connection::wait_sent(DWORD timeout_ms)
{
    bool ok = true;
    for (auto& w : writes_) {
        if (w->pending) {
            if (WaitForSingleObject(w->overlapped.hEvent, timeout_ms) != WAIT_OBJECT_0) {
                CancelIo(handle_);
                WaitForSingleObject(w->overlapped.hEvent, 5000);
                w->failed = true;
            } else {
                DWORD n;
                if (!GetOverlappedResult(handle_, &w->overlapped, &n, FALSE)) w->failed = true;
            }
            w->pending = false;
        }
        if (w->failed) ok = false;
    }
    return ok;
}

bool Connection::receive(std::string* message, DWORD timeout_ms, DWORD* error)
{
    message->clear();
    char buffer[512];
    DWORD got = 0;
    SetLastError(0xdeadbeef);
    if (!control_pipe_transfer(handle_, FALSE, buffer, sizeof buffer, &got, timeout_ms)) {
        if (error) *error = GetLastError();
        return false;
    }
    message->assign(buffer, got);
    return true;
}

void Connection::close()
{
    if (valid()) {
        wait_sent(5000);
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
    writes_.clear();
}

std::string exchange(const std::vector<std::string>& requests)
{
    DWORD error = 0;
    Connection c = Connection::open(control_pipe_busy_wait_ms(), &error);
    if (!c.valid()) return "";
    for (const std::string& r : requests) c.send(r);
    std::string reply;
    if (!c.wait_sent(10000) || !c.receive(&reply, 10000, &error)) return "";
    return reply;
}

std::string held_exchange(const std::vector<std::string>& requests)
{
    if (!fake_daemon::state_reader_thread()) exchange(); // learn which thread serves
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, fake_daemon::state_reader_thread());
    if (!thread) return "";
    std::string reply;
    for (int attempt = 0; attempt < 500; ++attempt) {
        // The server first finishes with the connection before (it closes its end and makes a
        // new instance in its place): a thread suspended inside that could hold the heap's
        // lock, which the open below needs.
        Sleep(30);
        SuspendThread(thread);
        DWORD error = 0;
        Connection c = Connection::open(0, &error);
        if (!c.valid()) { // the previous connection is still being closed
            ResumeThread(thread);
            Sleep(10);
            continue;
        }
        for (const std::string& r : requests) c.send(r);
        ResumeThread(thread);
        if (c.wait_sent(10000)) c.receive(&reply, 10000, &error);
        break;
    }
    CloseHandle(thread);
    return reply;
}

} // namespace pipe_client
