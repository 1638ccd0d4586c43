<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Accessibility</name>
    <message>
        <source>%1: %2</source>
        <extracomment>A lamp&apos;s name and its state, as a screen reader says it: &quot;Transfer lamp: on&quot;</extracomment>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>on</source>
        <translation>an</translation>
    </message>
    <message>
        <source>off</source>
        <translation>aus</translation>
    </message>
</context>
<context>
    <name>AddFilesDialog</name>
    <message>
        <source>Add files to Input Queue</source>
        <translation>Dateien zur Eingabewarteschlange hinzufügen</translation>
    </message>
    <message>
        <source>All Files (*.*)</source>
        <translation>Alle Dateien (*.*)</translation>
    </message>
    <message>
        <source>Kavrin Archive Files (*.kvn)</source>
        <translation>Kavrin-Archivdateien (*.kvn)</translation>
    </message>
    <message>
        <source>Audio Files (*.wav,*.au, *.aiff, *.snd)</source>
        <translation>Audiodateien (*.wav, *.au, *.aiff, *.snd)</translation>
    </message>
    <message>
        <source>AVM Apex Bank Files (*.apex)</source>
        <translation>AVM-Apex-Bankdateien (*.apex)</translation>
    </message>
    <message>
        <source>Aureal Sound Bank Files (*.arl)</source>
        <translation>Aureal-Soundbankdateien (*.arl)</translation>
    </message>
    <message>
        <source>Cakewalk Files (*.bun, *.cwb)</source>
        <translation>Cakewalk-Dateien (*.bun, *.cwb)</translation>
    </message>
    <message>
        <source>DownLoadable Sounds Files (*.dls)</source>
        <translation>DownLoadable-Sounds-Dateien (*.dls)</translation>
    </message>
    <message>
        <source>Ensoniq Files (*.efe, *.ins, *.gkh, *.pas)</source>
        <translation>Ensoniq-Dateien (*.efe, *.ins, *.gkh, *.pas)</translation>
    </message>
    <message>
        <source>Fast Tracker 2 Instrument Files (*.xi)</source>
        <translation>Fast-Tracker-2-Instrumentdateien (*.xi)</translation>
    </message>
    <message>
        <source>Gigastudio Files (*.gig)</source>
        <translation>Gigastudio-Dateien (*.gig)</translation>
    </message>
    <message>
        <source>Gravis Ultrasound Forte Patch Files (*.pat)</source>
        <translation>Gravis-Ultrasound-Forte-Patchdateien (*.pat)</translation>
    </message>
    <message>
        <source>Impulse Tracker Instrument Files (*.iti)</source>
        <translation>Impulse-Tracker-Instrumentdateien (*.iti)</translation>
    </message>
    <message>
        <source>Kurzweil 2000-2600 Files (*.krz)</source>
        <translation>Kurzweil-2000-2600-Dateien (*.krz)</translation>
    </message>
    <message>
        <source>Nemesys/Tascam (*.gig)</source>
        <translation>Nemesys/Tascam (*.gig)</translation>
    </message>
    <message>
        <source>Seer Systems Bank Files (*.seerbankset)</source>
        <translation>Seer-Systems-Bankdateien (*.seerbankset)</translation>
    </message>
    <message>
        <source>SoundFonts Banks Files (*.sf2, *.sbk)</source>
        <translation>SoundFont-Bankdateien (*.sf2, *.sbk)</translation>
    </message>
    <message>
        <source>Turtle Beach WaveFront Bank Files (*.wfb)</source>
        <translation>Turtle-Beach-WaveFront-Bankdateien (*.wfb)</translation>
    </message>
    <message>
        <source>Virtual Sampler Bank Files (*.vsb)</source>
        <translation>Virtual-Sampler-Bankdateien (*.vsb)</translation>
    </message>
</context>
<context>
    <name>CAboutDlg</name>
    <message>
        <source>About Kavrin</source>
        <translation>Über Kavrin</translation>
    </message>
    <message>
        <source>Kavrin Version 3.2</source>
        <translation>Kavrin Version 3.2</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>CArchiverApp</name>
    <message>
        <source>kavrin: %1; files opened later start windows of their own</source>
        <translation>kavrin: %1; später geöffnete Dateien öffnen eigene Fenster</translation>
    </message>
</context>
<context>
    <name>CArchiverDlg</name>
    <message>
        <source>Tellmark Kavrin</source>
        <translation>Tellmark Kavrin</translation>
    </message>
    <message>
        <source>Select Destination Directory</source>
        <translation>Zielordner auswählen</translation>
    </message>
    <message>
        <source>Shell Error</source>
        <translation>Shell-Fehler</translation>
    </message>
    <message>
        <source>Mi&amp;nimize</source>
        <translation>&amp;Minimieren</translation>
    </message>
    <message>
        <source>&amp;Close</source>
        <translation>&amp;Schließen</translation>
    </message>
    <message>
        <source>&amp;About Kavrin...</source>
        <translation>Ü&amp;ber Kavrin...</translation>
    </message>
    <message>
        <source>Auto</source>
        <translation>Automatisch</translation>
    </message>
    <message>
        <source>Not optimized</source>
        <translation>Nicht optimiert</translation>
    </message>
    <message>
        <source>8 bit</source>
        <translation>8 Bit</translation>
    </message>
    <message>
        <source>16 bit</source>
        <translation>16 Bit</translation>
    </message>
    <message>
        <source>24 bit</source>
        <translation>24 Bit</translation>
    </message>
    <message>
        <source>32 bit</source>
        <translation>32 Bit</translation>
    </message>
    <message>
        <source>Input Files Queue</source>
        <translation>Eingabewarteschlange</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Stopp</translation>
    </message>
    <message>
        <source>To Same Directory</source>
        <translation>In denselben Ordner</translation>
    </message>
    <message>
        <source>To Defined Directory</source>
        <translation>In festgelegten Ordner</translation>
    </message>
    <message>
        <source>Delete Source</source>
        <translation>Quelle löschen</translation>
    </message>
    <message>
        <source>Add Files to Input Queue</source>
        <translation>Dateien zur Eingabewarteschlange hinzufügen</translation>
    </message>
    <message>
        <source>Delete Files from Input Queue</source>
        <translation>Dateien aus der Eingabewarteschlange entfernen</translation>
    </message>
    <message>
        <source>Bit-depth Optimization</source>
        <translation>Bittiefen-Optimierung</translation>
    </message>
    <message>
        <source>Queue gauge</source>
        <translation>Füllstand der Warteschlange</translation>
    </message>
    <message>
        <source>Browse...</source>
        <translation>Durchsuchen...</translation>
    </message>
    <message>
        <source>Job progress</source>
        <translation>Fortschritt des Auftrags</translation>
    </message>
    <message>
        <source>Destination Directory</source>
        <translation>Zielordner</translation>
    </message>
    <message>
        <source>Transfer lamp</source>
        <translation>Übertragungslampe</translation>
    </message>
    <message>
        <source>Coding lamp</source>
        <translation>Kodierlampe</translation>
    </message>
    <message>
        <source>Analysis lamp</source>
        <translation>Analyselampe</translation>
    </message>
    <message>
        <source>Report</source>
        <translation>Bericht</translation>
    </message>
    <message>
        <source>Clear Report</source>
        <translation>Bericht leeren</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Hilfe</translation>
    </message>
</context>
<context>
    <name>CFileListCtrl</name>
    <message>
        <source>Drop Target</source>
        <translation>Dateien hier ablegen</translation>
    </message>
    <message>
        <source>Report</source>
        <translation>Bericht</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Datei</translation>
    </message>
    <message>
        <source>Path</source>
        <translation>Pfad</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Typ</translation>
    </message>
    <message>
        <source>Size</source>
        <translation>Größe</translation>
    </message>
    <message>
        <source>Ratio</source>
        <translation>Verhältnis</translation>
    </message>
    <message>
        <source>Action</source>
        <translation>Aktion</translation>
    </message>
    <message>
        <source>Opt</source>
        <translation>Opt.</translation>
    </message>
    <message>
        <source>Old size</source>
        <translation>Alte Größe</translation>
    </message>
    <message>
        <source>New size</source>
        <translation>Neue Größe</translation>
    </message>
</context>
<context>
    <name>CInputQueue</name>
    <message>
        <source>Can&apos;t add this file to input queue:
%s

Reason: Illegal file attribute.</source>
        <translation>Diese Datei kann nicht zur Eingabewarteschlange hinzugefügt werden:
%s

Grund: Unzulässiges Dateiattribut.</translation>
    </message>
    <message>
        <source>Can&apos;t add this file to input queue:
%s

Reason: Bad file format.</source>
        <translation>Diese Datei kann nicht zur Eingabewarteschlange hinzugefügt werden:
%s

Grund: Ungültiges Dateiformat.</translation>
    </message>
    <message>
        <source>Can&apos;t open file:
%s</source>
        <translation>Datei kann nicht geöffnet werden:
%s</translation>
    </message>
</context>
<context>
    <name>CReportList</name>
    <message>
        <source>compressed</source>
        <translation>komprimiert</translation>
    </message>
    <message>
        <source>expanded</source>
        <translation>entpackt</translation>
    </message>
    <message>
        <source>canceled</source>
        <translation>abgebrochen</translation>
    </message>
    <message>
        <source>error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>ERROR</source>
        <translation>FEHLER</translation>
    </message>
</context>
<context>
    <name>Dispatcher</name>
    <message>
        <source>Can&apos;t delete source file
%1</source>
        <translation>Quelldatei kann nicht gelöscht werden
%1</translation>
    </message>
    <message>
        <source>Cat&apos;t perform operation</source>
        <translation>Vorgang kann nicht ausgeführt werden</translation>
    </message>
    <message>
        <source>Illegal destination directory</source>
        <translation>Unzulässiger Zielordner</translation>
    </message>
    <message>
        <source>File already exists
%1
It holds another file: %2
Overwrite?</source>
        <translation>Datei existiert bereits
%1
Sie enthält eine andere Datei: %2
Überschreiben?</translation>
    </message>
    <message>
        <source>File already exists
%1
Overwrite?</source>
        <translation>Datei existiert bereits
%1
Überschreiben?</translation>
    </message>
    <message>
        <source>Can&apos;t open source file</source>
        <translation>Quelldatei kann nicht geöffnet werden</translation>
    </message>
    <message>
        <source>Bad file format</source>
        <translation>Ungültiges Dateiformat</translation>
    </message>
    <message>
        <source>Can&apos;t create file
%1</source>
        <translation>Datei kann nicht erstellt werden
%1</translation>
    </message>
    <message>
        <source>Can&apos;t create work thread</source>
        <translation>Arbeits-Thread kann nicht erstellt werden</translation>
    </message>
    <message>
        <source>No memory</source>
        <translation>Kein Speicher</translation>
    </message>
</context>
</TS>
