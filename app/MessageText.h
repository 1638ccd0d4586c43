// SPDX-License-Identifier: MIT
// The texts of the messages and questions that the job machinery (jobs/, which has no Qt)
// sends through the Prompt, shown in the user's language. Each text it can send is listed as
// a source text of the "Dispatcher" context, "%1" standing for the file name it carries; a
// text that matches none of them is shown as it came.
//
// Any thread that may call QCoreApplication::translate.
#pragma once

#include <QString>
#include <string>

namespace kavrin {

// `text` (bytes, as the Prompt received it) translated, the file name in it decoded for
// display only.
QString TranslatedMessage(const std::string& text);

}  // namespace kavrin
