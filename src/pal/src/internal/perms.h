/*
 * Who may use what the PAL creates. Windows gives the machine's data to the
 * owner, the administrators and, where a program grants it, the built-in Users
 * group; here the part of Users is played by one host group, the vault group
 * ($VAULTKEEP_GROUP, else the name compiled in, "vaultkeep" by default).
 *
 *   with the group:     files 0660, folders 02770, group = the vault group
 *   without the group:  files 0600, folders 0700 (owner only)
 *
 * Below "C:\Program Files" (modules) and in the settings store the group may
 * read but never write: files 0640, folders 02750, so no member can plant code
 * that another member's process loads or settings that point it elsewhere
 * (the parts of the machine that belong to administrators on Windows). Read-only files lose every write bit. Nothing is
 * ever readable or writable by other users, whatever the umask.
 *
 * The group is used only when the object really carries it (inherited from a
 * set-group-id folder, or given by fchown because the creator is a member);
 * otherwise the group bits stay clear, so a creator's own primary group never
 * gains access by accident.
 */
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace pal::perms {

/* The vault group's name (never empty). */
std::string GroupName();
/* Its id; false when the host has no such group. */
bool GroupId(gid_t& gid);
/* The id of the host group called name; false when there is none. */
bool LookUpGroup(const std::string& name, gid_t& gid);

enum class Area { Data, AdminOnly, Outside };
/* AdminOnly below the current root's "Program Files" and in its settings
 * store, Data elsewhere below the root, Outside beyond it (archives and other
 * files a caller names): those are the caller's own, made owner-only under
 * the caller's umask and never given the vault group. */
Area AreaOf(const std::string& hostPath);

/* Gives a just-created object (file or folder descriptor) its group and mode.
 * Best effort: a failure leaves the tighter creation mode (0600/0700). */
void ApplyFd(int fd, bool folder, Area area, bool readOnly = false);
/* The mode a replaced file keeps: its old permission bits, narrowed to what
 * the model allows for its group. */
mode_t Narrow(mode_t old, gid_t gid, Area area);

/* Creates one folder (mode per the model); EEXIST is success. Returns 0 or -1
 * with errno. */
int MakeFolder(const std::string& path);
/* mkdir -p of path with MakeFolder; 0 or -1 with errno. */
int MakeFolders(const std::string& path);

/* A uid this process trusts with its data: itself and the superuser. */
bool TrustedUid(uid_t uid);
/* The object's group is the vault group. */
bool InVaultGroup(gid_t gid);
/* A data folder the PAL may rely on: no one else may write it, or its group
 * is the vault group (which only vault users can give an object). */
bool TrustedFolder(const struct stat& st);
/* Owned by a trusted uid and writable by nobody else, not even the vault
 * group: the rule for code that gets loaded. */
bool OnlyTrustedCanWrite(const struct stat& st);

} // namespace pal::perms
