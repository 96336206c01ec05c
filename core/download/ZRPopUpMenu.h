// A pop-up menu of choices that carry numbers as tags, as the scheduler sees the preferences' limit
// selectors; the window's menu implements it, tests use a plain list.
#pragma once

#include <QtGlobal>

// Main thread only.
class ZRPopUpMenu {
public:
    virtual ~ZRPopUpMenu() = default;

    // Off: the menu leaves items as they are set here instead of enabling them on its own.
    virtual void setAutoenablesItems(bool autoenables) = 0;
    virtual int numberOfItems() const = 0;
    virtual bool isSeparatorItemAtIndex(int index) const = 0;
    virtual qint64 tagOfItemAtIndex(int index) const = 0;
    virtual void setEnabledItemAtIndex(int index, bool enabled) = 0;
    // Selects the first item with the tag; false (and the selection unchanged) when none has it.
    virtual bool selectItemWithTag(qint64 tag) = 0;
};
