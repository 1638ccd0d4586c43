<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>Accessibility</name>
    <message>
        <source>%1: %2</source>
        <extracomment>A lamp&apos;s name and its state, as a screen reader says it: &quot;Transfer lamp: on&quot;</extracomment>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>on</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>off</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>AddFilesDialog</name>
    <message>
        <source>Add files to Input Queue</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>All Files (*.*)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Kavrin Archive Files (*.kvn)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Audio Files (*.wav,*.au, *.aiff, *.snd)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>AVM Apex Bank Files (*.apex)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Aureal Sound Bank Files (*.arl)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cakewalk Files (*.bun, *.cwb)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>DownLoadable Sounds Files (*.dls)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ensoniq Files (*.efe, *.ins, *.gkh, *.pas)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Fast Tracker 2 Instrument Files (*.xi)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Gigastudio Files (*.gig)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Gravis Ultrasound Forte Patch Files (*.pat)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Impulse Tracker Instrument Files (*.iti)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Kurzweil 2000-2600 Files (*.krz)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Nemesys/Tascam (*.gig)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Seer Systems Bank Files (*.seerbankset)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>SoundFonts Banks Files (*.sf2, *.sbk)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Turtle Beach WaveFront Bank Files (*.wfb)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Virtual Sampler Bank Files (*.vsb)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CAboutDlg</name>
    <message>
        <source>About Kavrin</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Kavrin Version 3.2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CArchiverApp</name>
    <message>
        <source>kavrin: %1; files opened later start windows of their own</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CArchiverDlg</name>
    <message>
        <source>Tellmark Kavrin</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Select Destination Directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Shell Error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Mi&amp;nimize</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Close</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;About Kavrin...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Auto</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not optimized</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>8 bit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>16 bit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>24 bit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>32 bit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Input Files Queue</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>To Same Directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>To Defined Directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete Source</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Add Files to Input Queue</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete Files from Input Queue</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bit-depth Optimization</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Queue gauge</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Browse...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Job progress</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Destination Directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Transfer lamp</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Coding lamp</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Analysis lamp</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Report</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clear Report</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Help</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CFileListCtrl</name>
    <message>
        <source>Drop Target</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Report</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>File</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Path</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Type</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Size</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ratio</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Action</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Opt</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Old size</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>New size</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CInputQueue</name>
    <message>
        <source>Can&apos;t add this file to input queue:
%s

Reason: Illegal file attribute.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Can&apos;t add this file to input queue:
%s

Reason: Bad file format.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Can&apos;t open file:
%s</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CReportList</name>
    <message>
        <source>compressed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>expanded</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>canceled</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>ERROR</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Dispatcher</name>
    <message>
        <source>Can&apos;t delete source file
%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cat&apos;t perform operation</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Illegal destination directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>File already exists
%1
It holds another file: %2
Overwrite?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>File already exists
%1
Overwrite?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Can&apos;t open source file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bad file format</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Can&apos;t create file
%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Can&apos;t create work thread</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No memory</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
