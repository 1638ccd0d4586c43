// SPDX-License-Identifier: MIT
// The program's pictures by their resource numbers: the application icon (128), the ten
// button icons (130 to 139, on buttons 1002 to 1011), the lamp pictures (139 off, 140 on, 141
// analysis), the two row pictures of bitmap 142 and the About banner (143). They are drawn as
// scalable pictures, so they stay crisp on a high-density screen. Also the files the desktop
// needs, exactly as the package installs them, for a program that registers itself per user.
//
// Window thread only (pictures belong to the GUI thread).
#pragma once

#include <QByteArray>
#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace kavrin::res {

inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDI_FIRST_BUTTON = 130;
inline constexpr int kButtonIcons = 10;

// Makes the compiled-in pictures available; call once before using any (idempotent).
void InitResources();

QIcon ApplicationIcon();
// The icon of button 1002 + index (index 0 to 9); a null icon outside.
QIcon ButtonIcon(int index);
// A lamp picture, 8 x 8 device-independent pixels: 0 off (grey), 1 on (green), 2 analysis
// (yellow), at the given device pixel ratio.
QPixmap LampBitmap(int index, qreal devicePixelRatio = 1.0);
// A row picture, 16 x 16: 0 a plain file (dark cyan), 1 an archive (green).
QIcon RowImage(int index);
// The About banner, kBannerSize device-independent pixels, drawn at the given pixel ratio.
inline constexpr QSize kBannerSize{251, 55};
QPixmap Banner(qreal devicePixelRatio = 1.0);

// The desktop entry, the MIME package, and the scalable application and archive document icons.
QByteArray DesktopEntryFile();
QByteArray MimePackageFile();
QByteArray ApplicationIconFile();
QByteArray DocumentIconFile();

}  // namespace kavrin::res
