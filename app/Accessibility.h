// SPDX-License-Identifier: MIT
// What a screen reader hears of the window's own kinds of controls. Every control of the
// window carries a name (ArchiverDlg.cpp); two kinds need more than Qt's own descriptions:
// - The push-like buttons (Start and Stop, the two destination buttons, Delete Source) are
//   buttons that are pressed in or not. Qt would announce a checkable tool button as a check
//   box; these are push buttons whose pressed state is their checked state, and pressing one
//   through the screen reader clicks it.
// - The two destination buttons are one choice: they are radio buttons (checked or not) of one
//   exclusive group, between which the arrow keys move.
// - A tool button's description is left empty when it would only repeat its name (Qt takes the
//   tooltip, which is the name here).
// - A lamp says in words whether it is lit ("Transfer lamp: on"), not only in colour. Its state
//   is read when a screen reader asks for it, so a lamp that flickers through a job sends no
//   stream of events.
//
// Window thread only.
#pragma once

#include <QString>

class QAbstractButton;
class QLabel;
class QPixmap;

namespace kavrin {

// Installs the descriptions above for every window of the program; later calls do nothing.
// Must run before a screen reader first asks for the controls (the window calls it as it
// opens).
void InstallAccessibleFactory();

// Makes a push-like button of an exclusive button group a radio button for screen readers.
void MarkRadio(QAbstractButton& button);

// Makes `lamp` a lamp called `name` (translated) for screen readers, unlit.
void MarkLamp(QLabel& lamp, const QString& name);
// Shows `picture` on the lamp and remembers whether it is lit.
void ShowLamp(QLabel& lamp, const QPixmap& picture, bool lit);

}  // namespace kavrin
