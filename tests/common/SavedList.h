#pragma once

#include "urllist/UrlList.h"

// Saves the list and waits for its writer: true when the file then holds the list.
inline bool saved(UrlList &list)
{
    list.SaveUrlList();
    return list.waitSaved(30000);
}
