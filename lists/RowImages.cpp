// SPDX-License-Identifier: MIT
#include "lists/RowImages.h"

#include "res/Resources.h"

namespace kavrin {

CImageList CImageList::MakeRowImages() {
    CImageList images;
    images.m_icons.push_back(res::RowImage(kPlainFileImage));
    images.m_icons.push_back(res::RowImage(kArchiveImage));
    return images;
}

QIcon CImageList::Icon(int index) const {
    if (index < 0 || index >= Count()) return QIcon();
    return m_icons[static_cast<size_t>(index)];
}

}  // namespace kavrin
