#pragma once
// A display field (port name, status line) as assistive tools see it. Qt's own
// label interface shows the accessible name instead of the text once a name is
// set, and has no text interface, so a change of text could not be told apart
// from a change of name. A field keeps its name ("Status") and offers its text
// through the text interface, so text-changed events can carry it.

#include <QAccessible>

class QLabel;

namespace tamblet {

// Makes `label` such a field with `role`. Before its first text: the first
// event fixes the interface Qt keeps for it.
void MakeAccessibleField(QLabel* label, QAccessible::Role role);

// Lets Qt build the fields' interface; a second install is ignored.
void InstallAccessibleFields();

}  // namespace tamblet
