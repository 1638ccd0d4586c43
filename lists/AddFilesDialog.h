// The Add Files dialog of the input queue: a file-open dialog titled "Add files to Input
// Queue" that takes several files at once and offers the 18 filters below, in this order, each
// shown with its description exactly as written. The first filter lists every file, names
// without a dot included; the patterns match without regard to letter case, so "*.wav" finds
// TAKE.WAV as well.
//
// The queue reaches the dialog only through an `AddFilesChooser`, so tests replace it and no
// test ever opens a modal dialog. Window thread only.
#pragma once

#include <QFileDialog>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kavrin {

struct AddFilesFilter {
    const char* description;  // shown as written
    const char* patterns;     // ';'-separated, as the description names them
};

inline constexpr AddFilesFilter kAddFilesFilters[] = {
    {"All Files (*.*)", "*.*"},
    {"Kavrin Archive Files (*.kvn)", "*.kvn"},
    {"Audio Files (*.wav,*.au, *.aiff, *.snd)", "*.wav;*.au;*.aiff;*.snd"},
    {"AVM Apex Bank Files (*.apex)", "*.apex"},
    {"Aureal Sound Bank Files (*.arl)", "*.arl"},
    {"Cakewalk Files (*.bun, *.cwb)", "*.bun;*.cwb"},
    {"DownLoadable Sounds Files (*.dls)", "*.dls"},
    {"Ensoniq Files (*.efe, *.ins, *.gkh, *.pas)", "*.efe;*.ins;*.gkh;*.pas"},
    {"Fast Tracker 2 Instrument Files (*.xi)", "*.xi"},
    {"Gigastudio Files (*.gig)", "*.gig"},
    {"Gravis Ultrasound Forte Patch Files (*.pat)", "*.pat"},
    {"Impulse Tracker Instrument Files (*.iti)", "*.iti"},
    {"Kurzweil 2000-2600 Files (*.krz)", "*.krz"},
    {"Nemesys/Tascam (*.gig)", "*.gig"},
    {"Seer Systems Bank Files (*.seerbankset)", "*.seerbankset"},
    {"SoundFonts Banks Files (*.sf2, *.sbk)", "*.sf2;*.sbk"},
    {"Turtle Beach WaveFront Bank Files (*.wfb)", "*.wfb"},
    {"Virtual Sampler Bank Files (*.vsb)", "*.vsb"},
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
