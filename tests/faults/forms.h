// Every form of infected file, with what cleaning makes of it.
#pragma once

#include <vector>

#include "tools/samplegen/samples.h"

struct Form {
    const char* name;
    samples::Bytes infected;
    samples::Bytes repaired;  // empty: the form is deleted whole
};

inline std::vector<Form> Forms() {
    samples::Bytes host = samples::Filler(5000, 11);
    samples::Bytes plain = samples::PlainPage();
    return {
        {"page.htm", samples::InfectedPage(plain), plain},
        {"program.exe", samples::InfectedExe(samples::VARIANT_A, &host), host},
        {"nested.exe", samples::NestedExe(samples::VARIANT_E, host, 2), host},
        {"worm.exe", samples::InfectedExe(samples::VARIANT_A, nullptr), {}},
        {"mail.eml", samples::MailMessage(samples::VARIANT_E), {}},
    };
}
