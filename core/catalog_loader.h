// CVornCatalogLoader: finds and loads one message-catalogue file at
// start-up, from the directory that a registry value of the product names,
// else from the program's own directory, and says on standard error why it
// could not.
#pragma once

#include "core/message_catalog.h"

// Stateless; the program's main function makes one on its stack. Any thread
// may use it, but catalogues are loaded before other threads start.
class CVornCatalogLoader {
public:
    // Loads fileName into the table of catalog (CVornMessageCatalog::Load
    // with header1, header2, messageCount and firstNumber), trying in turn:
    //  1. the directory held by the registry value valueName of the key
    //     "SOFTWARE\Quorvane\<productKey>" (read as raw bytes, at most 512);
    //  2. when programPath is not null, the directory of programPath (the
    //     part before its last "/"; the current directory when it has none).
    // True when either load succeeded. Otherwise one line goes to standard
    // error and the result is false:
    //   "<program>: error: unable to load messages (<reason>)" when the
    //     directory of step 1 could not be formed (registry key too long,
    //     value not read, path too long);
    //   "<program>: error: unable to load <path of step 1> (<reason>)" when
    //     the file of step 1 failed to load (general failure, failed open,
    //     failed read, incorrect file version, incorrect data);
    // where <program> is programPath after its last "/" (the product key
    // when programPath is null). The reason is always that of step 1.
    // A null productKey counts as empty; a null valueName cannot be read
    // (step 1 fails); a null fileName loads nothing and gives the first line
    // with "general failure".
    virtual bool Load(CVornMessageCatalog& catalog, const char* programPath, const char* productKey,
                      const char* valueName, const char* fileName, int header1, int header2,
                      int messageCount, int firstNumber);
};
