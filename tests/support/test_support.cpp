#include "support/test_support.h"

#include <stdio.h>
#include <vector>

namespace testing_support {

namespace {
const char* const scratch_root = "Software\\tickmend-tests";
}

bool key_access_for_everyone(HKEY root, const char* path, DWORD access)
{
    HKEY key;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    DWORD acl_buffer[16];
    PACL acl = reinterpret_cast<PACL>(acl_buffer);
    InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION);
    AddAccessAllowedAce(acl, ACL_REVISION, access, everyone);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, access ? acl : nullptr, FALSE);
    bool done = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
    FreeSid(everyone);
    RegCloseKey(key);
    return done;
}

bool key_read_only(HKEY root, const char* path, bool read_only)
{
    return key_access_for_everyone(root, path, read_only ? KEY_READ : 0);
}

bool delete_tree(HKEY root, const char* subkey)
{
    HKEY key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return true;
    char child[256];
    for (;;) {
        DWORD size = sizeof child;
        if (RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        std::string path = std::string(subkey) + "\\" + child;
        if (!delete_tree(root, path.c_str())) break;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(root, subkey) == ERROR_SUCCESS;
}

ScratchKey::ScratchKey(const char* name) : path_(std::string(scratch_root) + "\\" + name)
{
    delete_tree(HKEY_CURRENT_USER, path_.c_str());
}

ScratchKey::~ScratchKey()
{
    delete_tree(HKEY_CURRENT_USER, path_.c_str());
}

std::string product_path(const char* name)
{
    std::string dir = TICKMEND_PRODUCT_DIR;
    std::string path = "Z:" + dir + "/" + name;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

namespace {

// The current environment block with extra entries added (or replacing same-named ones).
std::vector<char> environment_with(const std::string& extra_env)
{
    std::vector<std::string> extra;
    size_t start = 0;
    while (start < extra_env.size()) {
        size_t end = extra_env.find('\n', start);
        if (end == std::string::npos) end = extra_env.size();
        if (end > start) extra.push_back(extra_env.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char> block;
    char* env = GetEnvironmentStringsA();
    for (const char* p = env; *p; p += strlen(p) + 1) {
        std::string entry = p;
        bool replaced = false;
        for (const std::string& e : extra) {
            size_t eq = e.find('=');
            if (eq != std::string::npos && _strnicmp(entry.c_str(), e.c_str(), eq + 1) == 0) replaced = true;
        }
        if (!replaced) block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    FreeEnvironmentStringsA(env);
    for (const std::string& e : extra) block.insert(block.end(), e.c_str(), e.c_str() + e.size() + 1);
    block.push_back('\0');
    return block;
}

} // namespace

HANDLE start_process(const std::string& command_line, const std::string& extra_env)
{
    std::vector<char> env = environment_with(extra_env);
    std::vector<char> cmd(command_line.begin(), command_line.end());
    cmd.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, env.data(), nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

int run_process(const std::string& command_line, const std::string& extra_env, DWORD timeout_ms)
{
    HANDLE process = start_process(command_line, extra_env);
    if (!process) return -1;
    int result = -1;
    if (WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process, &code)) result = static_cast<int>(code);
    } else {
        TerminateProcess(process, 255);
    }
    CloseHandle(process);
    return result;
}

int run_capture(const std::string& command_line, std::string* output, const std::string& extra_env,
                DWORD timeout_ms, std::string* errors)
{
    // As CreateProcessA takes it: through the ANSI code page.
    std::wstring wide(command_line.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_ACP, 0, command_line.c_str(), static_cast<int>(command_line.size()), &wide[0],
                                    static_cast<int>(wide.size())));
    return run_capture_wide(wide, output, extra_env, timeout_ms, errors);
}

int run_capture_wide(const std::wstring& command_line, std::string* output, const std::string& extra_env,
                     DWORD timeout_ms, std::string* errors)
{
    output->clear();
    if (errors) errors->clear();
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    // One pipe for both streams, or a second one for standard error.
    HANDLE read_end[2] = {nullptr, nullptr}, write_end[2] = {nullptr, nullptr};
    const int pipes = errors ? 2 : 1;
    for (int i = 0; i < pipes; ++i) {
        if (!CreatePipe(&read_end[i], &write_end[i], &inherit, 0)) {
            for (int j = 0; j < i; ++j) CloseHandle(read_end[j]), CloseHandle(write_end[j]);
            return -1;
        }
        SetHandleInformation(read_end[i], HANDLE_FLAG_INHERIT, 0);
    }
    std::string* sinks[2] = {output, errors};

    std::vector<char> env = environment_with(extra_env);
    std::vector<wchar_t> cmd(command_line.begin(), command_line.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write_end[0];
    si.hStdError = write_end[pipes - 1];
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, env.data(), nullptr, &si, &pi);
    for (int i = 0; i < pipes; ++i) CloseHandle(write_end[i]);
    if (!started) {
        for (int i = 0; i < pipes; ++i) CloseHandle(read_end[i]);
        return -1;
    }
    CloseHandle(pi.hThread);
    // The child writes little; read until it closes its ends, then collect the exit code.
    char buf[512];
    DWORD n = 0;
    DWORD start = GetTickCount();
    // Whatever is waiting in either pipe; false once every pipe is closed and empty.
    auto drain = [&] {
        bool open = false, read = false;
        for (int i = 0; i < pipes; ++i) {
            DWORD available = 0;
            if (!PeekNamedPipe(read_end[i], nullptr, 0, nullptr, &available, nullptr)) continue;
            open = true;
            if (available && ReadFile(read_end[i], buf, sizeof buf, &n, nullptr) && n) {
                sinks[i]->append(buf, n);
                read = true;
            }
        }
        return open ? (read ? 1 : 0) : -1;
    };
    for (;;) {
        int got = drain();
        if (got < 0) break;
        if (got > 0) continue;
        if (WaitForSingleObject(pi.hProcess, 10) == WAIT_OBJECT_0) {
            while (drain() > 0) {
            }
            break;
        }
        if (GetTickCount() - start > timeout_ms) break;
    }
    for (int i = 0; i < pipes; ++i) CloseHandle(read_end[i]);
    int result = -1;
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(pi.hProcess, &code)) result = static_cast<int>(code);
    } else {
        TerminateProcess(pi.hProcess, 255);
    }
    CloseHandle(pi.hProcess);
    return result;
}

std::string read_file(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

std::string temp_path(const char* tag)
{
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    char path[MAX_PATH];
    _snprintf(path, sizeof path, "%stickmend-%s-%lu.txt", dir, tag, GetCurrentProcessId());
    path[sizeof path - 1] = '\0';
    DeleteFileA(path);
    return path;
}

std::string write_temp(const char* tag, const std::string& text)
{
    std::string path = temp_path(tag);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size() ? path : "";
}

} // namespace testing_support
