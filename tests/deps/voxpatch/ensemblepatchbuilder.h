// Test-only maker of ensemble patches, assembled from the engine's own
// parts: header varints, one LZMA2 body, element descriptions in stream 0
// and CreateByteDiff for the three corrections.  The pieces are offered
// separately so that tests can build malformed patches as easily as good
// ones.

#ifndef VOXPATCH_TESTS_ENSEMBLEPATCHBUILDER_H
#define VOXPATCH_TESTS_ENSEMBLEPATCHBUILDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace voxpatch_test {

struct ElementSpec {
  uint32_t kind;
  uint32_t old_offset;
  uint32_t old_length;
  uint32_t new_offset;  // where the element lies in the new file
  uint32_t new_length;
};

struct EnsemblePatchParts {
  uint32_t magic = 7696195;
  uint32_t version = 20110216;
  uint32_t source_checksum = 0;
  uint32_t target_checksum = 0;
  uint32_t prediction = 0;
  int header_fields = 5;             // fewer cuts the header short
  bool with_body = true;
  std::string body_override;         // when set: the decoded body bytes as they are
  std::vector<std::string> streams;  // the body's streams
};

// Varint N, the N kinds, then offset and length of every element.
std::string ElementDescriptions(const std::vector<ElementSpec>& elements);
std::string ElementDescriptions(uint32_t count, const std::vector<uint32_t>& kinds,
                                const std::vector<std::pair<uint32_t, uint32_t>>& ranges);

// The flattened prediction set of `count` elements (each an empty nested set).
std::string PredictionBytes(size_t count);

// The flattened set of transformed elements: each range of `file`
// disassembled and encoded as the applier does.  False when an element is
// not an executable.
bool TransformedBytes(const std::string& file,
                      const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                      std::string* out);

// The old file followed by the elements rebuilt from a flattened
// transformed-element set.
bool FinalInput(const std::string& old_file, const std::string& transformed, size_t count,
                std::string* out);

// A VXDIFF10 body without header (method 0) from old to new.
std::string DiffBytes(const std::string& old_bytes, const std::string& new_bytes);

// A complete, correct patch from old_file to new_file with the given elements.
bool MakeEnsemblePatch(const std::string& old_file, const std::string& new_file,
                       const std::vector<ElementSpec>& elements, EnsemblePatchParts* parts);

// A patch whose one element is the whole old file, for old files whose
// element fails before the corrections are used: the element correction is
// empty, the final one the identity.
EnsemblePatchParts WholeFileElementPatch(const std::string& old_file, uint32_t kind);

// The patch file's bytes.
std::string SerializeEnsemblePatch(const EnsemblePatchParts& parts);

// The set of the given streams, flattened.
std::string StreamSetBytes(const std::vector<std::string>& streams);

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_ENSEMBLEPATCHBUILDER_H
