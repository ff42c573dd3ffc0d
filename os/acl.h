// ACEs and ACLs kept in canonical order, duplicate merging, and rewriting an object's owner and
// DACL so that the process can remove it.
#pragma once

#include "base/win32.h"

#include <aclapi.h>

#include <string>

// Makes the token's default owner the object's owner and grants it and SYSTEM the given rights,
// removing deny entries that stand in their way.
void takeOwnershipAndGrant(const std::wstring& name, SE_OBJECT_TYPE type, DWORD mask);
