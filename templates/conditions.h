// The decisions a page makes about what it shows: the permission check, the
// statement language with its operators, and the conditions of the template
// keyword If.
//
//   MatchPerms         is a required method/object pair granted by a permission list
//   EvalDefOp          an operator on a looked-up name (DEF, DEFWV, UNDEF, UNDEFNV, else
//                      EvalCompareOp)
//   EvalCompareOp      a comparison operator on two texts
//   EvalAttrStmt       a statement on a configuration object's attribute
//   EvalSettingStmt    a statement on a setting resolved for a user and client
//   EvalEventStmt      a statement on an attribute of an object's time event
//   EvalVarStmt        a statement on a form variable
//   EvalVarEventChain  a form variable, else the event's attribute, else the system's
//                      default event's
//   EvalIfKeyword      one condition keyword of an If tag
//   EvalIfConditions   every condition of an If tag, in the table's order
//
// Permission list: comma-separated items; an item "methods:objects" grants
// every pair of a method letter and an object letter, any other item grants
// itself as written. Letters compare without regard to case. An item of
// kMaxPermItemLength characters or more grants nothing (see MatchPerms).
//
// Statement: "name operator [operand]", separated by runs of blanks; the
// operand is everything after the operator, blanks included. An operand
// "$name" is replaced by the form variable name when it exists. A statement
// of fewer than two words is false and looks nothing up. An operator that is
// not in the table is false and reported as event 152 (an error).
//
// Nothing here keeps state. Look-ups take the configuration store's locks
// (config/config_store.h); callers hold none of them. Runs on the connection
// worker that serves the request.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

class CVornHTTPRequest;

// Catalogue number of the unknown-operator event: one %s, the operator.
enum : int { kMsgTemplateBadOperator = 152 };

// Items of this length or more are not read (they grant nothing).
constexpr int kMaxPermItemLength = 1024;

// The id of an object's default time event.
constexpr const char* kDefaultEventId = "D0000000000000";

// True when list grants required: a pair of a method and an object letter,
// '*' in either place standing for any letter. required is upper-cased in
// place. An empty required text is always granted.
bool MatchPerms(CVornString& required, const CVornString& list);

// The operators DEF, DEFWV, UNDEF and UNDEFNV on (defined, value); every
// other operator name goes to EvalCompareOp. Names compare exactly.
bool EvalDefOp(const CVornString& operand, const CVornString& value, const CVornString& op,
               bool defined);
// EQ NE ~EQ ~NE SW ~SW CONTAIN CONTAINS NOTCONTAINS == != LT GT LE GE on value
// and operand; any other name is false and reports event 152.
bool EvalCompareOp(const CVornString& value, const CVornString& op, const CVornString& operand);

// The statement evaluators. type is a configuration object type letter (0
// when there is none); an empty objectName stands for the system object's
// null name.
bool EvalAttrStmt(CVornHTTPRequest* request, const CVornString& statement, char type,
                  const CVornString& objectName);
bool EvalSettingStmt(CVornHTTPRequest* request, const CVornString& statement,
                     const CVornString& user, const CVornString& client);
bool EvalEventStmt(CVornHTTPRequest* request, const CVornString& statement, char type,
                   const CVornString& objectName, const CVornString& eventId);
bool EvalVarStmt(CVornHTTPRequest* request, const CVornString& statement);
bool EvalVarEventChain(CVornHTTPRequest* request, const CVornString& statement, char type,
                       const CVornString& objectName, const CVornString& eventId);

// What the conditions of one page know besides its request. The strings are
// borrowed.
struct CPageConditions {
    const CVornString& m_User;
    const CVornString& m_Client;
    const CVornString& m_UserPerms;
    const CVornString& m_ObjectPerms;
};

// One attribute of an If tag: 1 when the condition holds, 0 when it fails,
// -1 when keyword (compared without regard to case) is no condition keyword.
int EvalIfKeyword(CVornHTTPRequest* request, const CVornString& keyword, const CVornString& value,
                  const CPageConditions& page);

// An If tag's condition: the attributes in the table's own order, each
// keyword tested until the first that fails. True when none fails (also
// when there is no keyword at all).
bool EvalIfConditions(CVornHTTPRequest* request, CVornStringMap& attributes,
                      const CPageConditions& page);
