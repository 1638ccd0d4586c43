// SPDX-License-Identifier: MIT
// The row pictures both lists share (the main window owns them; the lists only point at
// them): image 0 marks a plain file, a bevelled square with a dark cyan face; image 1 marks an
// archive, the same square with a green face. 16 x 16 pixels, transparent around the square,
// from the program's resources (bitmap 142).
//
// Window thread only (pixmaps belong to the GUI thread).
#pragma once

#include <QIcon>
#include <vector>

namespace kavrin {

inline constexpr int kPlainFileImage = 0;
inline constexpr int kArchiveImage = 1;
inline constexpr int kRowImageSize = 16;

class CImageList {
public:
    // Draws the two row pictures.
    static CImageList MakeRowImages();

    int Count() const { return static_cast<int>(m_icons.size()); }
    // The picture at `index`, or a null icon for an index the list does not hold.
    QIcon Icon(int index) const;

private:
    std::vector<QIcon> m_icons;
};

}  // namespace kavrin
