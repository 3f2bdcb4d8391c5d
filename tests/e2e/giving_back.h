// What Gaming Mode owes the user and how it comes back: the GivingBack fixture, which the
// one-owner rows build on.
#pragma once

#include "e2e.h"

namespace e2e {

// What Gaming Mode owes the user, the power plan and the northbridge bit, comes back
// whatever ends the on-period; what it left out is said. The user's plan is Power saver.
class GivingBack : public Program {
protected:
    void SetUp() override
    {
        Program::SetUp();
        ASSERT_TRUE(power_plans_start_at(power_saver));
        // The stand-in switches only while a restore record is pending: a switch made before
        // its record is written shows as a switch refused.
        set_powercfg("SwitchNeedsRecord", 1);
    }
    static void set_powercfg(const char* name, DWORD value)
    {
        ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_state, name, REG_DWORD, &value, 4));
    }
    // An on and an off whose restore fails, as with a powercfg that fails: the plan stays owed.
    void on_and_off_whose_restore_fails()
    {
        ASSERT_EQ(0, ctl("on"));
        set_powercfg("SetFails", 1);
        ASSERT_EQ(0, ctl("off"));
        ASSERT_TRUE(restore_pending());
        set_powercfg("SetFails", 0);
    }
    static void user_picks(const char* guid)
    {
        ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_state, "Active", REG_SZ, guid,
                                        static_cast<DWORD>(strlen(guid) + 1)));
    }
    bool gaming_mode_on()
    {
        EXPECT_EQ(0, ctl("status"));
        return squeezed(ctl_output_).find(squeezed("Gaming Mode: on")) != std::string::npos;
    }
    // What Windows sends the instance's window when the active plan's personality changes;
    // Wine sends none, so the record is placed in the instance's memory and sent from here.
    void send_personality(const GUID& personality)
    {
        const GUID setting = {0x245D8541, 0x3943, 0x4422, {0xB0, 0x25, 0x13, 0xA7, 0x84, 0xF6, 0x79, 0xB7}};
        BYTE record[sizeof(GUID) + sizeof(DWORD) + sizeof(GUID)];
        DWORD length = sizeof(GUID);
        memcpy(record, &setting, sizeof setting);
        memcpy(record + sizeof(GUID), &length, sizeof length);
        memcpy(record + sizeof(GUID) + sizeof(DWORD), &personality, sizeof personality);
        void* remote = VirtualAllocEx(instance_, nullptr, sizeof record, MEM_COMMIT, PAGE_READWRITE);
        ASSERT_TRUE(remote);
        ASSERT_TRUE(WriteProcessMemory(instance_, remote, record, sizeof record, nullptr));
        SendMessageA(FindWindowA("TICKMEND", nullptr), WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE,
                     reinterpret_cast<LPARAM>(remote));
        VirtualFreeEx(instance_, remote, 0, MEM_RELEASE);
    }
    void TearDown() override
    {
        Program::TearDown();
        show_powercfg();
        delete_tree(HKEY_CURRENT_USER, powercfg_state);
        delete_tree(HKEY_CURRENT_USER, app_defaults);
    }
    void kill_instance()
    {
        TerminateProcess(instance_, 9);
        WaitForSingleObject(instance_, 15000);
        CloseHandle(instance_);
        instance_ = nullptr;
    }
    static std::string plan() { return registry_text(HKEY_CURRENT_USER, powercfg_state, "Active"); }
    static bool restore_pending()
    {
        DWORD value = 0;
        return GetRegistryValue(HKEY_CURRENT_USER, user_key, "restore_pending", &value, 4) && value;
    }
    // Takes the tool out of the system folder; a copy stays in the program's folder (build/),
    // where it must not be found.
    void hide_powercfg()
    {
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(product_path("powercfg.exe").c_str()));
        // Over a ".hidden" that a run ended while the tool was hidden left in this prefix.
        ASSERT_TRUE(MoveFileExA(system_powercfg().c_str(), (system_powercfg() + ".hidden").c_str(),
                                MOVEFILE_REPLACE_EXISTING));
        hidden_ = true;
    }
    // Returns once no powercfg.exe runs (10 s at most): none of ours can switch the plan after.
    static void powercfg_gone()
    {
        for (int i = 0; i < 1000; ++i, Sleep(10)) {
            bool running = false;
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32 entry;
            entry.dwSize = sizeof entry;
            for (BOOL more = Process32First(snapshot, &entry); more && !running; more = Process32Next(snapshot, &entry))
                running = _stricmp(entry.szExeFile, "powercfg.exe") == 0;
            CloseHandle(snapshot);
            if (!running) return;
        }
    }
    void show_powercfg()
    {
        if (hidden_) MoveFileA((system_powercfg() + ".hidden").c_str(), system_powercfg().c_str());
        hidden_ = false;
    }
    static std::string system_powercfg()
    {
        char folder[MAX_PATH];
        GetSystemDirectoryA(folder, MAX_PATH);
        return std::string(folder) + "\\powercfg.exe";
    }
    const char* const app_defaults = "Software\\Wine\\AppDefaults\\tickmend-sim.exe";
    bool hidden_ = false;
};

} // namespace e2e
