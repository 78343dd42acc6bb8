// Confluxor, the configuration-merge tool that a setup program runs when the
// gateway is installed or upgraded. It merges the gateway's default system
// settings and an administrator account into the configuration files that
// the service reads, leaving every setting already there alone except the
// ones named below, and can carry the results of a definition update into
// the configuration.
//
//   DefaultSystemSettings    the system settings merged, with their defaults
//   DefaultAdminAttributes   the administrator account's attributes
//   ConfluxorMain            the program: command line, catalogue, merge, save
//
// Command line:
//   Confluxor [-h] [-S smtp-port] [-A <LastKelbrookStartTime>]
//             [-F <LastKelbrookFinishTime>] [-R <KelbrookStatus>]
//             product [<admin user> <admin password>] [<cache size>]
// Options are read by NextOption (install/confluxor/next_option.h) with the
// option string "hS:A:R:F:". The product word names the registry key
// "SOFTWARE\Quorvane\<product>" that holds "InstallDir" and "LocalDir".
//
// Exit codes: 0 merged and written; 1 usage, a bad argument, or the
// configuration could not be loaded, merged completely or written; 2 the
// message catalogue could not be loaded (the loader says why).
//
// The configuration is changed in memory only and written once, at the end,
// through the store's atomic save under "QVCONFIGFILELOCK": every failure
// leaves the files as they were, and a save that finds them changed by the
// service since the tool loaded them writes nothing. Failures are written to
// standard error and as WARNING lines to the debug log.
#pragma once

// One (name, default) pair of the merge tables.
struct MergeDefault {
    const char* m_Name;
    const char* m_Value;
};

// The 33 system settings in merge order, ended by a pair of nulls.
extern const MergeDefault DefaultSystemSettings[];
// The 6 attributes of the administrator account, ended by a pair of nulls.
extern const MergeDefault DefaultAdminAttributes[];

// The administrator account's name when the command line names none, and
// its password when none is given.
inline constexpr const char* kDefaultAdminName = "quendrial";
inline constexpr const char* kDefaultAdminPassword = "quendrial";

enum : int {
    kMergeExitDone = 0,
    kMergeExitFailed = 1,
    kMergeExitNoCatalog = 2,
};

// The whole program. The administrator password word is wiped from argv as
// soon as it has been read, so it does not stay visible in the process list.
int ConfluxorMain(int argc, char** argv);
