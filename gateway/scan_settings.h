// The gateway's scan settings: which objects of a message the scanner
// examines and which attachments are stripped, held in process-wide lists
// that every delivery thread reads while a scan runs.
//
//   LoadScanSettings    reload the three pattern lists and the two flags
//   ParseExtensionList  fill a list with the patterns of one setting
//   MatchExtensionList  does a name's extension match a pattern of a list
//
// A pattern is a lower-cased extension without its dot ("exe", "do?", "z*").
// '?' matches any one byte; '*' ends the comparison with success, but only
// once the lengths agree: "z*" matches "zx", never "zip". The empty pattern
// (an item "." or "*.") matches a name without an extension.
//
// Selection (g_ScanSelect): 0 scan every object; 1 every object whose
// extension matches no pattern of g_ExcludeExtensions; 2 only objects whose
// extension matches a pattern of g_IncludeExtensions; any other value scans
// every object.
//
// Settings are system-wide values of the configuration store; a list
// setting holds its items separated by 0x1C. A missing setting is an empty
// list, selection 0, stripping off.
//
// Threads: readers take g_ScanSettingsLock shared for the whole decision;
// LoadScanSettings takes it exclusive, so no reader sees a list half
// rebuilt. REQUIRES of LoadScanSettings: no store lock held (it reads
// settings). The objects below are made on first use and never destroyed,
// so a detached thread may still read them while the process exits.
#pragma once

#include "core/rw_lock.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"

// Guards the selection, the stripping flag and the three lists.
extern CVornRWLock& g_ScanSettingsLock;
// Patterns of "RazoVidezExcludeExt", "RazoVidezIncludeExt" and
// "ZELORMStripAttachmentsExtList".
extern CVornStringList& g_ExcludeExtensions;
extern CVornStringList& g_IncludeExtensions;
extern CVornStringList& g_StripExtensions;
// "ZELORMRazoVidezSelect" (0 when absent).
extern int g_ScanSelect;
// "ZELORMStripAttachments" is a non-zero number (off when absent).
extern bool g_StripAttachments;

// Guards the quarantine package number; packages are numbered from 0 in
// each run (a number whose file exists is skipped by the caller).
extern CVornLock& g_QuarantineNumberLock;
extern unsigned g_QuarantineNumber;

// Rebuilds the three lists and reads the two numbers under the exclusive lock.
void LoadScanSettings();

// Appends to list the patterns of the named setting, in setting order: each
// item beginning with "." or "*." loses everything up to its first ".", is
// lower-cased (single-byte letters and the full-width Latin letters of the
// Japanese code pages) and is dropped when the list already holds it. The
// list is not emptied first. A missing setting adds nothing.
void ParseExtensionList(const char* settingName, CVornStringList& list);

// True when the extension of name (the text after its last ".", empty
// without one) matches a pattern of list, in list order. A null name counts
// as a name without an extension.
bool MatchExtensionList(const char* name, CVornStringList& list);
