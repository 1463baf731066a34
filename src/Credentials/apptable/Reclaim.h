/*
 * What an interrupted call leaves behind, and how it is found and removed.
 *
 * Every write is ordered so that a crash leaves the old state or the new one,
 * plus at most some debris that nothing names: a blob file no record names, a
 * user folder no application table names, a removed application's folder in
 * the trash, backup files of an archive that did not finish. Debris is found
 * by comparing what is on disk with what the tables name, and removed under
 * the machine-wide lock. A key container is removed with its folder only when
 * the folder's user.bin names it and no user of a registered application does.
 */
#pragma once
#include <windows.h>
#include <vector>
#include "../platform/Wide.h"

namespace reclaim {

/* "<maker folder>\Vaultkeep Trash": a removed application's folder is renamed in
 * here in one step, then deleted. Beside the data folder, on its file system. */
WString TrashFolder(LPCWSTR dataFolder);

/* Renames a folder into the trash in one step (its new path in *aside when
 * given); TRUE when it has left its name. */
BOOL SetAside(LPCWSTR dataFolder, const WString& folder, WString* aside);

/* An application folder that holds neither a user folder nor a whole app.bin
 * (at most a short one and writer temporaries): what a registration that did
 * not finish leaves. An application is registered only once its table is. */
BOOL IsUnfinishedRegistration(const WString& appFolder);

/* The names in a folder (files and folders, without "." and ".."); FALSE when
 * the folder cannot be listed. */
BOOL ListFolder(const WString& folder, std::vector<WIN32_FIND_DATAW>& entries);

/* The key container name in a user folder's user.bin, read without the
 * application secret: empty unless it is a GUID string. */
WString UnverifiedKeyName(const WString& userFolder);

/* The key container names the user.bin files of the users that registered
 * applications name (other than the one in exceptFolder), read without their
 * secrets; FALSE when some application could not be read. */
BOOL KeysInUse(const WString& exceptFolder, std::vector<WString>& keys);
/* TRUE when the user.bin of a user that a registered application names,
 * other than the one in exceptFolder, names this key container. */
BOOL KeyInUse(const WString& keyName, const WString& exceptFolder);

/* Removes a key container of the provider's machine key set; TRUE when it is gone. */
BOOL DeleteKey(LPCWSTR keyName);

/* The names of the key containers the provider holds; FALSE when it cannot
 * list them all. */
BOOL ListKeys(std::vector<WString>& names);

/* One entry of the trash: its name, and whether it is gone. */
struct TrashEntry {
    WString name;
    BOOL removed;
};
/* With remove, deletes what the trash holds, with the keys its users' tables
 * name unless a live user names them too. Appends every entry found to found
 * (when given): a listing without remove. */
void EmptyTrash(LPCWSTR dataFolder, std::vector<TrashEntry>* found, BOOL remove = TRUE);

} // namespace reclaim
