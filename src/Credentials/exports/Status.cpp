/* The names of the status codes of the public header. */
#include <vaultkeep/vaultkeep.h>

extern "C" const char* VaultkeepStatusName(LONG status) {
    switch (status) {
    case Error_Success: return "Error_Success";
    case Error_Bad_App: return "Error_Bad_App";
    case Error_App_Already_Exists: return "Error_App_Already_Exists";
    case Error_No_User: return "Error_No_User";
    case Error_Non_Supported_Version: return "Error_Non_Supported_Version";
    case Error_Cred_Not_Found: return "Error_Cred_Not_Found";
    case Error_Internal: return "Error_Internal";
    case Error_Invalid_ID: return "Error_Invalid_ID";
    case Error_Invalid_Cred: return "Error_Invalid_Cred";
    case Error_TPM_Not_Owned: return "Error_TPM_Not_Owned";
    case Error_Insufficient_Privileges: return "Error_Insufficient_Privileges";
    case Error_Cant_Load_Library: return "Error_Cant_Load_Library";
    case Error_User_Already_Exists: return "Error_User_Already_Exists";
    case Error_Bad_Backup: return "Error_Bad_Backup";
    case Error_Invalid_File: return "Error_Invalid_File";
    case Error_Decrypt_Failed: return "Error_Decrypt_Failed";
    case Error_Table_Alloc: return "Error_Table_Alloc";
    default: return NULL;
    }
}
