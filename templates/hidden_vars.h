// Hidden form variables: "HV-" + name holds a copy of the form variable
// name, so that a login or error page can carry the form's state to the
// next request (the page writes each back as a hidden input).
//
//   KeepHiddenVar      HV-name := name
//   KeepHiddenVarAs    HV-newName := name
//   CopyFormVar        newName := name
//   KeepAllHiddenVars  HV-name := name for every variable but HV-* and password
//
// Each does nothing when the variable it copies does not exist; setting a
// variable that exists replaces its value. Form variable names compare
// without regard to case. Used by one thread, the request's.
#pragma once

#include "core/vorn_string.h"

class CVornHTTPRequest;

// The prefix of hidden variables (compared exactly where it decides).
constexpr const char* kHiddenVarPrefix = "HV-";

void KeepHiddenVar(CVornHTTPRequest* request, const char* name);
void KeepHiddenVarAs(CVornHTTPRequest* request, const char* name, const char* newName);
void CopyFormVar(CVornHTTPRequest* request, const char* name, const char* newName);
// Every variable whose name does not begin with "HV-" (exact case) and is
// not "password" (any case). The names are collected first, so the copies it
// adds are not visited again.
void KeepAllHiddenVars(CVornHTTPRequest* request);
