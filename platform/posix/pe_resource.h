// Finds a resource in a PE32 image held in memory, for systems without a
// Windows loader. Every read is bounds-checked against the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// PE_NOT_IMAGE: a header a loader needs (DOS header, "PE\0\0", COFF header,
// PE32 optional header, section table) is missing or lies outside the file.
// PE_NO_RESOURCE: the headers are sound and the image has no such resource.
// PE_RESOURCE_BROKEN: the resource tree cannot be read on the way to it, or the
// resource's bytes do not lie whole inside the file (see pe_resource.cpp).
enum PeLookup { PE_NOT_IMAGE, PE_NO_RESOURCE, PE_RESOURCE_BROKEN, PE_RESOURCE_FOUND };

// Looks up resource `name` (an integer id) of type `type` (integer id), first language
// entry, in the PE32 image held in `file` (the whole file, `size` bytes). On
// PE_RESOURCE_FOUND, *offset and *length give the resource bytes inside `file`.
PeLookup FindPeResource(const unsigned char* file, size_t size, uint16_t type, uint16_t name,
                        size_t* offset, uint32_t* length);

// The same lookup as the platforms answer it: the resource's bytes in `*data`.
PlatResourceLookup FindResourceIn(const unsigned char* file, size_t size, uint16_t type,
                                  uint16_t name, const unsigned char** data, uint32_t* length);
