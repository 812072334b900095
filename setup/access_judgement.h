// Whether an account other than the trusted ones may change a file or folder that LocalSystem runs from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Entry types as they stand in an access control entry's header.
constexpr std::uint8_t ace_type_access_allowed = 0x0;
constexpr std::uint8_t ace_type_access_denied = 0x1;
constexpr std::uint8_t ace_type_access_allowed_callback = 0x9;

// Entry flags: an inherit-only entry is a template for children and does not apply to the object itself.
constexpr std::uint8_t ace_flag_inherit_only = 0x08;
constexpr std::uint8_t ace_flag_inherited = 0x10;

// The rights with which an account could replace or redirect a program: write or add to it, delete it
// or (in a folder) any file in it, or change its permissions or owner.
constexpr std::uint32_t right_write_data = 0x2;      // FILE_WRITE_DATA, FILE_ADD_FILE on a folder
constexpr std::uint32_t right_append_data = 0x4;     // FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY on a folder
constexpr std::uint32_t right_delete_child = 0x40;   // FILE_DELETE_CHILD
constexpr std::uint32_t right_delete = 0x10000;      // DELETE
constexpr std::uint32_t right_write_dac = 0x40000;   // WRITE_DAC
constexpr std::uint32_t right_write_owner = 0x80000; // WRITE_OWNER
constexpr std::uint32_t right_generic_all = 0x10000000;
constexpr std::uint32_t right_generic_write = 0x40000000;
constexpr std::uint32_t rights_that_change = right_write_data | right_append_data | right_delete_child | right_delete |
                                             right_write_dac | right_write_owner | right_generic_all |
                                             right_generic_write;

// Of a folder above the programs' folders only what could put another tree in its place counts: deleting
// (so renaming) it, deleting or renaming what is in it, or changing its permissions or owner. Creating
// files or folders in it, as every user may in C:\, changes nothing below.
constexpr std::uint32_t rights_that_move =
    right_delete_child | right_delete | right_write_dac | right_write_owner | right_generic_all;

// The account that stands for every account, so a deny entry for it applies to each of them.
inline constexpr const char* everyone_sid = "S-1-1-0";

// One entry of an access list, its SID in string form ("S-1-5-32-545"); empty for types not judged.
struct access_entry {
    std::uint8_t type;
    std::uint8_t flags;
    std::uint32_t mask;
    std::string sid;
};

// What GetNamedSecurityInfoW reports of a file or folder: its owner and its access list, in order.
struct object_security {
    std::string owner_sid;
    bool dacl_present; // false: a null DACL, which grants every account every right
    std::vector<access_entry> entries;
};

enum class access_finding { safe, untrusted_owner, null_dacl, untrusted_rights };

// The first untrusted account found and what it may do (rights_that_change bits); empty sid when safe.
struct access_judgement {
    access_finding finding;
    std::string sid;
    std::uint32_t rights;
};

// `rights_checked`: rights_that_change for the programs and their folders, rights_that_move for the folders above.
access_judgement judge_access(const object_security& security, const std::vector<std::string>& trusted_sids,
                              std::uint32_t rights_checked);

// What an object grants one account by name: ownership, and the rights (rights_checked bits) it keeps
// after the denies ahead of them. The installer weighs its own account with it: UAC keeps that account in
// the filtered token of every program the administrator starts without elevation.
struct account_trust {
    bool owner;
    std::uint32_t rights;
};
account_trust trust_of(const object_security& security, const std::string& sid, std::uint32_t rights_checked);

// The rights of a judgement in words, e.g. "write to or delete".
std::string describe_rights(std::uint32_t rights);
