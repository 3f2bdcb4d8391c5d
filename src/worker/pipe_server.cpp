// The pipe thread's set-up: the security descriptor that lets any local process of any
// user open "\\.\pipe\QelTscPipe" (and no one over the network), and the creation of its
// instances and of the completion port that keeps their clients in order. When the name is
// held by another program, the thread says so through a notice and tries again every few
// seconds until it has it. The instances are listened on in pipe_listen.cpp.
#include "worker/pipe_server.h"
#include "worker/pipe_listen.h"
#include "worker/worker.h"

#include "common/control_pipe.h"
#include "common/os_version.h"
#include "common/trace.h"
#include "notice/notice.h"

#include <stdio.h>

namespace worker_pipe {
namespace {

constexpr DWORD create_retry_ms = 2000; // between attempts to create the instance while the name is taken
constexpr DWORD reject_remote_clients = 0x8; // PIPE_REJECT_REMOTE_CLIENTS (Vista on; XP refuses it)
// Our outbound buffer: none, so that a reply's write completes only once the client has
// read it whole, and the connection ends then, not when the client closes.
constexpr DWORD reply_buffer = 0;

void* volatile pipe_create = nullptr; // the tests' creation, read by the pipe thread; null: CreateNamedPipeA

// An instance. On the first, FILE_FLAG_FIRST_PIPE_INSTANCE makes creation fail when another
// process holds the name already, instead of joining its pipe.
HANDLE create_pipe_instance(SECURITY_ATTRIBUTES* attributes, bool first)
{
    DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    if (os_pipe_rejects_remote_clients()) mode |= reject_remote_clients;
    pipe_create_fn create = reinterpret_cast<pipe_create_fn>(InterlockedCompareExchangePointer(&pipe_create, nullptr, nullptr));
    return (create ? create : CreateNamedPipeA)(control_pipe_name,
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0), mode,
                            pipe_instances, reply_buffer, request_limit, 0, attributes);
}

// Who holds the name, into detail ("process 1234"); "" when this Windows cannot tell (XP)
// or the holder's pipe cannot be opened. Opening it is a connection the holder sees.
void describe_holder(char* detail, int size)
{
    detail[0] = '\0';
    tk::unique_hfile probe(CreateFileA(control_pipe_name, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    ULONG holder = 0;
    if (probe && control_pipe_server_process(probe.get(), &holder)) {
        _snprintf(detail, size, "process %lu", holder);
        detail[size - 1] = '\0';
    }
}

// Creates the instance, or says that it cannot: creation fails while another program holds
// the name, and after a console disconnect it may have taken it meanwhile.
bool try_create_instance(PipeServer& server)
{
    server.instances[0].pipe.reset(create_pipe_instance(server.attributes, true));
    if (server.instances[0].pipe) {
        // The others join the name we hold; one that cannot be made is done without.
        for (int i = 1; i < pipe_instances; ++i)
            server.instances[i].pipe.reset(create_pipe_instance(server.attributes, false));
        // Each completes its connects into the port; one that cannot is not used.
        for (Instance& in : server.instances)
            if (in.pipe && !CreateIoCompletionPort(in.pipe.get(), server.port.get(), 0, 0)) in.pipe.reset();
        if (!server.instances[0].pipe) {
            for (Instance& in : server.instances) in.pipe.reset();
            return false;
        }
        server.holder_asked = false;
        notice_clear(NOTICE_PIPE_NAME_TAKEN);
        return true;
    }
    DWORD error = GetLastError();
    TRACE("TscPipeThread: Error: CreateNamedPipe() failed!\n");
    TRACE("worker try_create_instance : error %lu\n", error);
    if ((error == ERROR_PIPE_BUSY || error == ERROR_ACCESS_DENIED) && !server.holder_asked) { // the name is another's
        server.holder_asked = true; // once: every look is a connection to the holder's pipe
        char detail[32];
        describe_holder(detail, sizeof detail);
        notice_raise(NOTICE_PIPE_NAME_TAKEN, detail);
    }
    return false;
}

void signal_ready(HANDLE ready)
{
    if (ready) SetEvent(ready);
}

} // namespace

bool remake_instance(PipeServer& server, Instance& in)
{
    in.pipe.reset();
    in.listening = false;
    in.connected = false;
    // While another instance of ours holds the name, the new one joins it; else it must be
    // the first again, so that it never joins another program's pipe.
    bool others = false;
    for (const Instance& other : server.instances) others = others || other.pipe;
    in.pipe.reset(create_pipe_instance(server.attributes, !others));
    if (in.pipe && !CreateIoCompletionPort(in.pipe.get(), server.port.get(), 0, 0)) in.pipe.reset();
    return static_cast<bool>(in.pipe);
}

// Tries again every few seconds until the instance exists; false when the stop event came.
bool create_instance(PipeServer& server)
{
    while (!try_create_instance(server))
        if (WaitForSingleObject(server.stop_event, create_retry_ms) != WAIT_TIMEOUT) return false;
    return true;
}

DWORD WINAPI TscPipeThread(void* events)
{
    TRACE("TscPipeThread - ENTRY\n");
    const thread_events& given = *static_cast<const thread_events*>(events);
    HANDLE ready = given.ready;
    PipeServer server;
    server.stop_event = given.stop;

    DWORD acl_buffer[40]; // 160 bytes, DWORD-aligned as an ACL must be
    DWORD acl_size = sizeof acl_buffer;
    PACL acl = reinterpret_cast<PACL>(acl_buffer);
    SECURITY_DESCRIPTOR descriptor;
    if (!build_pipe_acl(acl, &acl_size) || !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        TRACE("TscPipeThread: Error setting security attributes!\n");
        TRACE("TscPipeThread - EXIT\n");
        return 0; // the starter sees the thread end
    }
    // Not inheritable: a child we start (the power tool, the command interpreter) must not
    // hold our instance and keep the name alive after we are gone.
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    server.attributes = &attributes;

    bool events_made = true;
    for (Instance& instance : server.instances) {
        instance.io_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        instance.reply_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        events_made = events_made && instance.io_event && instance.reply_event;
        instance.io.hEvent = instance.io_event.get();
        instance.reply.hEvent = instance.reply_event.get();
    }
    server.port.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!events_made || !server.port) {
        TRACE("TscPipeThread: Error: CreateEvent() failed!\n");
        signal_ready(ready);
    } else {
        // Tried before the ready signal, so the name exists when Qel_WorkerStart returns;
        // a name taken by another program is tried again while we serve nothing.
        try_create_instance(server);
        signal_ready(ready);
        serve(server);
        close_instances(server);
    }
    // Nothing of ours is expected on the pipe any more: no warning about its name either.
    notice_clear(NOTICE_PIPE_NAME_TAKEN);
    TRACE("TscPipeThread - EXIT\n");
    return 0;
}

} // namespace worker_pipe

void worker_set_pipe_create(pipe_create_fn create)
{
    InterlockedExchangePointer(&worker_pipe::pipe_create, reinterpret_cast<void*>(create));
}

BOOL build_pipe_acl(PACL buffer, DWORD* size)
{
    // This user, as the process token names it (room for the largest SID).
    DWORD user_buffer[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE + 3) / 4];
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return FALSE;
    DWORD got = 0;
    const BOOL known = GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &got);
    CloseHandle(token);
    if (!known) return FALSE;
    PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer)->User.Sid;

    const DWORD ace_header = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD); // an entry without its SID
    DWORD needed = sizeof(ACL) + 4 * ace_header + 3 * GetSidLengthRequired(1) + GetLengthSid(user);
    DWORD offered = *size;
    *size = needed;
    if (offered < needed) return FALSE;

    DWORD network[4]; // room for a one-sub-authority SID (12 bytes), DWORD-aligned
    DWORD world[4];
    DWORD system[4];
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY world_authority = SECURITY_WORLD_SID_AUTHORITY;
    if (!InitializeSid(network, &nt_authority, 1)) return FALSE;
    *GetSidSubAuthority(network, 0) = SECURITY_NETWORK_RID;
    if (!InitializeSid(world, &world_authority, 1)) return FALSE;
    *GetSidSubAuthority(world, 0) = SECURITY_WORLD_RID;
    if (!InitializeSid(system, &nt_authority, 1)) return FALSE;
    *GetSidSubAuthority(system, 0) = SECURITY_LOCAL_SYSTEM_RID;

    // Everyone includes the users logged on over the network, and XP has no way to refuse
    // remote clients when the pipe is made: the NETWORK group is denied first, on every
    // system, so that only local processes reach the pipe. Everyone reads and writes its
    // messages; only this user and SYSTEM may add instances (FILE_CREATE_PIPE_INSTANCE),
    // so that no other process can serve clients under our name while we hold it. A client
    // asking GENERIC_WRITE is not refused for it: that right means nothing to a client.
    if (!InitializeAcl(buffer, needed, ACL_REVISION)) return FALSE;
    if (!AddAccessDeniedAce(buffer, ACL_REVISION, FILE_ALL_ACCESS, network)) return FALSE;
    const DWORD messages = (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE;
    if (!AddAccessAllowedAce(buffer, ACL_REVISION, messages, world)) return FALSE;
    if (!AddAccessAllowedAce(buffer, ACL_REVISION, FILE_ALL_ACCESS, user)) return FALSE;
    return AddAccessAllowedAce(buffer, ACL_REVISION, FILE_ALL_ACCESS, system);
}
