// The pipe thread: the security descriptor that lets any local process of any user open
// "\\.\pipe\QelTscPipe" (and no one over the network), the instances' events and the
// completion port that keeps their clients in order; then the instances are made
// (pipe_instances.cpp) and listened on (pipe_listen.cpp) until the stop event.
#include "worker/pipe_server.h"
#include "worker/pipe_instances.h"
#include "worker/pipe_listen.h"
#include "worker/worker_testing.h"

#include "common/trace.h"
#include "notice/notice.h"

namespace worker_pipe {
namespace {

void signal_ready(HANDLE ready)
{
    if (ready) SetEvent(ready);
}

} // namespace

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
