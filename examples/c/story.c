/*
 * A plain C client of the installed library, built with pkg-config (see the
 * Makefile), that tells the whole story: register an application, add a user,
 * store a credential, read it back, archive the user, delete it, restore it
 * and read the credential again.
 *
 * Like much code ported from Windows, it has functions of its own named as
 * Win32 functions, and the Makefile exports them (-rdynamic) as a program with
 * plug-ins does. The library must never call them: each one stops the program.
 *
 *   VAULTKEEP_ROOT=$(mktemp -d) ./story ARCHIVE-FILE
 */
#include <vaultkeep/vaultkeep.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CLIENTS_OWN(name)                                                                   \
    void name(void);                                                                        \
    void name(void) {                                                                       \
        fprintf(stderr, "story: the library called the client's own " #name "()\n");      \
        abort();                                                                            \
    }
CLIENTS_OWN(CloseHandle)
CLIENTS_OWN(Sleep)
CLIENTS_OWN(ReadFile)
CLIENTS_OWN(CreateFileW)
CLIENTS_OWN(GetLastError)

static int failed;

static void check(const char* what, LONG status) {
    const char* name = VaultkeepStatusName(status);
    printf("%-22s %s\n", what, name ? name : "?");
    if (status != Error_Success) failed = 1;
}

static SAFEARRAY* bytes(const char* s) {
    size_t n = strlen(s);
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, (ULONG)n);
    void* data;
    if (a && SafeArrayAccessData(a, &data) == 0) {
        memcpy(data, s, n);
        SafeArrayUnaccessData(a);
    }
    return a;
}

/* The credential read back equals what was stored. */
static void same(const char* what, SAFEARRAY* got, const char* want) {
    void* data;
    int ok = got && SafeArrayAccessData(got, &data) == 0;
    if (ok) {
        ok = got->rgsabound[0].cElements == strlen(want) && memcmp(data, want, strlen(want)) == 0;
        SafeArrayUnaccessData(got);
    }
    printf("%-22s %s\n", what, ok ? "same bytes" : "OTHER BYTES");
    if (!ok) failed = 1;
    SafeArrayDestroy(got);
}

int main(int argc, char** argv) {
    WCHAR archive[512] = {0};
    if (argc != 2 || strlen(argv[1]) >= 512) {
        fprintf(stderr, "usage: story ARCHIVE-FILE (an ASCII path)\n");
        return 64;
    }
    for (size_t i = 0; argv[1][i]; ++i) archive[i] = (WCHAR)(unsigned char)argv[1][i];

    const WCHAR *app = u"CStory", *user = u"carol", *pw = u"carol's password", *id = u"mail";
    const char* token = "imap-token";
    SAFEARRAY *secret = bytes("the story's application secret"), *meta = bytes("imap.example.org"),
              *hidden = bytes("carol@example.org"), *data = bytes(token), *back = NULL;

    check("RegisterApp", RegisterApp(app, secret));
    check("AddUser", AddUser(app, secret, user, pw));
    check("StoreCredential", StoreCredential(app, secret, user, pw, id, meta, hidden, data));
    check("RetrieveCredential", RetrieveCredential(app, secret, user, pw, id, &back));
    same("  stored", back, token);
    check("ArchiveUser", ArchiveUser(app, secret, user, archive, u"backup password", u""));
    check("DeleteUser", DeleteUser(app, secret, user));
    check("RestoreUser", RestoreUser(app, secret, user, archive, u"backup password", 0));
    back = NULL;
    check("RetrieveCredential", RetrieveCredential(app, secret, user, pw, id, &back));
    same("  restored", back, token);
    check("UnRegisterApp", UnRegisterApp(app, secret));

    SafeArrayDestroy(secret);
    SafeArrayDestroy(meta);
    SafeArrayDestroy(hidden);
    SafeArrayDestroy(data);
    return failed;
}
