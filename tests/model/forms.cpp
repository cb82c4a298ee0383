#include "tests/model/forms.h"

namespace model {
namespace {

const char* VariantName(samples::Variant variant) {
    return variant == samples::VARIANT_A ? "A" : "E";
}

size_t SizeFrom(uint32_t seed, size_t least, size_t most) {
    return least + seed % (most - least + 1);
}

Bytes FillerHost(uint32_t seed) {
    return samples::Filler(SizeFrom(seed, 3000, 6000), seed);
}

Content Infected(Bytes bytes, Bytes repaired, const std::string& description) {
    Content content;
    content.bytes = std::move(bytes);
    content.infected = true;
    content.repaired = std::move(repaired);
    content.description = description;
    return content;
}

Content Deletable(Bytes bytes, const std::string& description) {
    Content content = Infected(std::move(bytes), Bytes(), description);
    content.deletable = true;
    return content;
}

}  // namespace

Content MakeContent(const Form& form) {
    const std::string variant = VariantName(form.variant);
    const std::string size = std::to_string(SizeFrom(form.seed, 100, 6000));
    switch (form.kind) {
        case FormKind::Text: {
            Content content;
            content.bytes = samples::TextFile(SizeFrom(form.seed, 100, 6000), form.seed);
            content.description = "clean text of " + size + " bytes";
            return content;
        }
        case FormKind::Page: {
            Bytes page = samples::TextFile(SizeFrom(form.seed, 100, 6000), form.seed);
            return Infected(samples::InfectedPage(page), page,
                            "page of " + size + " bytes with the script");
        }
        case FormKind::FillerHost: {
            Bytes host = FillerHost(form.seed);
            return Infected(
                samples::InfectedExe(form.variant, &host), host,
                "worm " + variant + " around " + std::to_string(host.size()) + " bytes of filler");
        }
        case FormKind::CleanExeHost: {
            Bytes resource = samples::Filler(SizeFrom(form.seed, 200, 2000), form.seed);
            Bytes host = samples::CleanExe(&resource);
            return Infected(samples::InfectedExe(form.variant, &host), host,
                            "worm " + variant + " around a clean program of " +
                                std::to_string(host.size()) + " bytes");
        }
        case FormKind::Nested: {
            Bytes host = FillerHost(form.seed);
            return Infected(samples::NestedExe(form.variant, host, 2), host,
                            "worm " + variant + " nested 2 deep around " +
                                std::to_string(host.size()) + " bytes of filler");
        }
        case FormKind::WormAlone:
            return Deletable(samples::InfectedExe(form.variant, nullptr),
                             "worm " + variant + " alone");
        case FormKind::Mail:
            return Deletable(samples::MailMessage(form.variant), "mail of worm " + variant);
    }
    return Content();
}

Content RepairedContent(const Content& infected) {
    Content content;
    content.bytes = infected.repaired;
    content.description = "repaired from the " + infected.description;
    return content;
}

}  // namespace model
