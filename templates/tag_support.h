// Small helpers that the common tags and the selection boxes share: reading
// a tag's attributes and the request's form variables, and writing text of
// someone else into a page.
//
//   HasAttribute / AttributeValue  a tag attribute (names compare exactly)
//   FormVariable / HasFormVariable a form variable (names ignoring case)
//   BoxName                        the attribute "name", default "objname"
//   WriteHtml                      writes text HTML-escaped (also fit for a
//                                  double-quoted attribute value)
//   CatalogTextOf                  a base-catalogue text by computed number
//
// A missing attribute, variable or catalogue text reads as the empty text.
// Runs on the connection worker that serves the request.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

class CVornHTTPRequest;

bool HasAttribute(CVornStringMap& attributes, const char* name);
CVornString AttributeValue(CVornStringMap& attributes, const char* name);

bool HasFormVariable(CVornHTTPRequest* request, const char* name);
CVornString FormVariable(CVornHTTPRequest* request, const char* name);

// The box or field name N of a tag: its attribute "name", "objname" when
// absent.
CVornString BoxName(CVornStringMap& attributes);

// Writes text with "&", "<", ">", '"' and "'" as entities.
void WriteHtml(CVornHTTPRequest* request, const CVornString& text);
// Appends text escaped as WriteHtml writes it.
void AppendHtml(CVornString& out, const CVornString& text);

// The base-catalogue text of a number computed from a date or a time (month
// names, years, hour names) in the current language; empty when missing.
// Fixed numbers go through GetCatalogText, where the catalogue test sees
// them.
CVornString CatalogTextOf(int number);
