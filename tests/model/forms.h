// What the user actions of the model test write into files: clean text, or one of
// the infected forms, with what cleaning makes of it.
#pragma once

#include <cstdint>
#include <string>

#include "tools/samplegen/samples.h"

namespace model {

using samples::Bytes;

enum class FormKind {
    Text,          // clean text
    Page,          // text with the worm's script appended
    FillerHost,    // the worm with a host of filler bytes
    CleanExeHost,  // the worm with a clean program as its host
    Nested,        // the worm around the worm around a host
    WormAlone,     // the worm without a host
    Mail,          // the worm's e-mail message
};

struct Form {
    FormKind kind = FormKind::Text;
    samples::Variant variant = samples::VARIANT_A;
    uint32_t seed = 0;  // draws the text, page or host
};

// A file's content and what cleaning makes of it.
struct Content {
    Bytes bytes;
    bool infected = false;
    bool deletable = false;  // cleaning deletes the file (the worm alone, its mail)
    Bytes repaired;          // for an infected file that is not deletable
    std::string description;
};

Content MakeContent(const Form& form);
// The clean content that a repair of `infected` leaves.
Content RepairedContent(const Content& infected);

}  // namespace model
