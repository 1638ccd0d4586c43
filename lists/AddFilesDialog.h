// SPDX-License-Identifier: MIT
// The Add Files dialog of the input queue: a file-open dialog titled "Add files to Input
// Queue" that takes several files at once and offers the 18 filters below, in this order, each
// shown with its description exactly as written. The first filter lists every file, names
// without a dot included; the patterns match without regard to letter case, so "*.wav" finds
// TAKE.WAV as well.
//
// The queue reaches the dialog only through an `AddFilesChooser`, so tests replace it and no
// test ever opens a modal dialog. Window thread only.
#pragma once

#include <QCoreApplication>
#include <QFileDialog>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kavrin {

struct AddFilesFilter {
    const char* description;  // shown as written (translated, when a translation exists)
    const char* patterns;     // ';'-separated, as the description names them
};

inline constexpr AddFilesFilter kAddFilesFilters[] = {
    {QT_TRANSLATE_NOOP("AddFilesDialog", "All Files (*.*)"), "*.*"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Kavrin Archive Files (*.kvn)"), "*.kvn"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Audio Files (*.wav,*.au, *.aiff, *.snd)"),
     "*.wav;*.au;*.aiff;*.snd"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "AVM Apex Bank Files (*.apex)"), "*.apex"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Aureal Sound Bank Files (*.arl)"), "*.arl"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Cakewalk Files (*.bun, *.cwb)"), "*.bun;*.cwb"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "DownLoadable Sounds Files (*.dls)"), "*.dls"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Ensoniq Files (*.efe, *.ins, *.gkh, *.pas)"),
     "*.efe;*.ins;*.gkh;*.pas"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Fast Tracker 2 Instrument Files (*.xi)"), "*.xi"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Gigastudio Files (*.gig)"), "*.gig"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Gravis Ultrasound Forte Patch Files (*.pat)"), "*.pat"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Impulse Tracker Instrument Files (*.iti)"), "*.iti"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Kurzweil 2000-2600 Files (*.krz)"), "*.krz"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Nemesys/Tascam (*.gig)"), "*.gig"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Seer Systems Bank Files (*.seerbankset)"),
     "*.seerbankset"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "SoundFonts Banks Files (*.sf2, *.sbk)"), "*.sf2;*.sbk"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Turtle Beach WaveFront Bank Files (*.wfb)"), "*.wfb"},
    {QT_TRANSLATE_NOOP("AddFilesDialog", "Virtual Sampler Bank Files (*.vsb)"), "*.vsb"},
};
inline constexpr int kAddFilesFilterCount = static_cast<int>(std::size(kAddFilesFilters));

// What the user chose with OK: the filter shown at the end and the files, as full paths in
// file-system bytes, in the order the dialog gives them.
struct AddFilesChoice {
    int filterIndex = 0;
    std::vector<std::string> paths;
};

// Shows the dialog opened on filter `filterIndex`. The choice on OK, nothing on Cancel.
using AddFilesChooser = std::function<std::optional<AddFilesChoice>(int filterIndex)>;

// The real dialog, owned by `owner`. Each dialog opens in the folder the previous OK of this
// chooser left, the first one in the working folder.
AddFilesChooser MakeAddFilesChooser(QWidget* owner);

// Makes `dialog` the Add Files dialog, showing filter `filterIndex` (0 when out of range).
void ConfigureAddFilesDialog(QFileDialog& dialog, int filterIndex);

// The index of the filter `dialog` shows (0 when it shows none of the table's).
int SelectedAddFilesFilter(const QFileDialog& dialog);

}  // namespace kavrin
