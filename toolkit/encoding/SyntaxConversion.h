#ifndef DICOMTOOLKIT_ENCODING_SYNTAXCONVERSION_H
#define DICOMTOOLKIT_ENCODING_SYNTAXCONVERSION_H

#include <cstdint>

#include "../model/DataSet.h"
#include "DataDictionary.h"

// Why a conversion was refused: a fixed text and the tag of the element
// (0,0 when it concerns the whole set). reason is null after a success.
struct ConversionProblem {
    const char* reason = nullptr;
    uint16_t group = 0;
    uint16_t element = 0;
};

// Prepares a data set read in one uncompressed transfer syntax (the codes
// ImplicitLittleEndian, ExplicitLittleEndian, ExplicitBigEndian) to be
// written in another with the same values: the value bytes of binary VRs
// (US SS UL SL FL FD OW OF OD OL OV SV UV AT) are swapped when the byte
// order changes, in sequence items too, and when the target is explicit VR
// every element read without a VR gets one: the dictionary's, or for Pixel
// Data OB when Bits Allocated is 8 or less, and SS for the pixel-value
// attributes that are US or SS when Pixel Representation is 1. The items
// of a sequence read under UN are implicit VR little endian in every
// syntax and are left alone.
//
// Refused (0, problem set, the set then partly converted and to be thrown
// away), when the byte order changes: an element whose VR is neither known
// nor carried (private elements read in implicit VR), a UN element with a
// value (its structure is unknown), OW Pixel Data whose Bits Allocated is
// not 16 (8-bit samples packed in 16-bit words have no agreed order), a
// binary value whose length is no multiple of its unit; in any case a
// source or target code that is not one of the three.
int convertUncompressedValues(DataSet* set, int32_t fromCode, int32_t toCode, const DataDictionary* dictionary,
                              ConversionProblem& problem);

// Whether a transfer syntax code is one of the three uncompressed ones.
bool isUncompressedCode(int32_t code);

#endif
