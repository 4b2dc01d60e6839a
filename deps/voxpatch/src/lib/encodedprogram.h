// The form in which an executable travels inside patches and containers: a
// list of operations plus separate tables of plain bytes, label addresses and
// label indexes, each written to its own stream so that diffs and LZMA2 find
// long runs of alike data.  Assembling it gives the executable's bytes.

#ifndef VOXPATCH_ENCODEDPROGRAM_H
#define VOXPATCH_ENCODEDPROGRAM_H

#include <cstddef>
#include <cstdint>

#include "growablearray.h"
#include "patchstatus.h"

namespace voxpatch {

class ByteWriter;
class StreamBundleReader;
class StreamBundleWriter;

class EncodedProgram {
 public:
  enum OP : uint32_t {
    ORIGIN = 0,        // current address := next origin
    COPY = 1,          // next copy count's bytes from the copy bytes
    COPY1 = 2,         // one copy byte
    REL32 = 3,         // 32-bit relative reference to a rel32 label
    ABS32 = 4,         // 32-bit absolute reference to an abs32 label
    MAKE_PE_RELOCATION_TABLE = 5,
    MAKE_ELF_RELOCATION_TABLE = 6,
    MAKE_ELF_ARM_RELOCATION_TABLE = 7,
    MAKE_PE64_RELOCATION_TABLE = 8,
    ARM_REL32_8 = 0x1000,
    ARM_REL32_11 = 0x2000,
    ARM_REL32_24 = 0x3000,
    ARM_REL32_25 = 0x4000,
    ARM_REL32_21 = 0x5000,
  };

  static constexpr uint32_t kUnassigned = 0xFFFFFFFFu;

  EncodedProgram() = default;
  EncodedProgram(const EncodedProgram&) = delete;
  EncodedProgram& operator=(const EncodedProgram&) = delete;

  // Building; each returns false only when memory runs out.
  bool AppendOrigin(uint32_t rva);
  bool AppendCopy(size_t count, const uint8_t* bytes);
  bool AppendRel32(uint32_t label_index);
  bool AppendAbs32(uint32_t label_index);
  bool AppendArmRel32(uint16_t compressed_op, uint32_t label_index);
  bool AppendPeRelocTable(int flag);  // flag 1: HIGHLOW table, else DIR64
  bool AppendElfRelocTable();
  bool AppendElfArmRelocTable();
  // Makes room for the given numbers of entries before building, so that
  // the tables are not copied while they fill.  Only a hint: nothing
  // changes when memory runs out.
  void ReserveForBuilding(size_t ops, size_t origins, size_t copy_counts,
                          size_t copy_bytes, size_t abs32_ix, size_t rel32_ix);
  // Makes room for this many slots in an address table (a hint; false
  // when memory runs out, with nothing changed).
  bool ReserveRel32Addresses(size_t count);
  bool ReserveAbs32Addresses(size_t count);
  bool SetRel32Address(int32_t index, uint32_t rva);
  bool SetAbs32Address(int32_t index, uint32_t rva);
  // Gives unassigned slots of both address tables the value before them.
  bool FinishLabels();
  void SetBaseAddress(uint64_t base) { image_base_ = base; }

  // Writes the nine streams into the set (which needs at least nine).
  bool Serialize(StreamBundleWriter* sink);
  // Writes the same streams, freeing each table as soon as its stream is
  // written (the largest first); the program is left empty and is only fit
  // to be freed.
  bool SerializeReleasing(StreamBundleWriter* sink);
  // Reads what Serialize wrote; false on a short, malformed or oversized
  // stream, or data left over.
  // Fails when the tables would hold more than max_entries entries in all.
  // With release_read, the streams are read for the last time: the pages
  // of each go back to the system as soon as its table is read.
  bool Deserialize(StreamBundleReader* source, size_t max_entries = SIZE_MAX,
                   bool release_read = false);
  // Assembles the executable's bytes into output.  With release_consumed,
  // the tables are read for the last time: their pages are handed back as
  // assembly passes them (they read as zero afterwards), and the program is
  // only fit to be freed.
  bool Rebuild(ByteWriter* output, bool release_consumed = false);

  void LogSummary() const;

  uint64_t image_base() const { return image_base_; }
  const GrowableArray<uint32_t>& abs32_rvas() const { return abs32_rva_; }
  const GrowableArray<uint32_t>& rel32_rvas() const { return rel32_rva_; }
  const GrowableArray<uint32_t>& ops() const { return ops_; }
  const GrowableArray<uint32_t>& origins() const { return origins_; }
  const GrowableArray<uint32_t>& copy_counts() const { return copy_counts_; }
  const GrowableArray<uint8_t>& copy_bytes() const { return copy_bytes_; }
  const GrowableArray<uint32_t>& abs32_ix() const { return abs32_ix_; }
  const GrowableArray<uint32_t>& rel32_ix() const { return rel32_ix_; }

 private:
  bool AppendOp(uint32_t op) { return ops_.push_back(op); }
  // Writes table `which` into its stream; with release set, the table is
  // freed afterwards (and the copy bytes may become the stream itself).
  bool WriteStreamTable(StreamBundleWriter* sink, size_t which, bool release);
  bool SerializeTables(StreamBundleWriter* sink, bool release);
  static bool SetAddress(GrowableArray<uint32_t>* table, int32_t index,
                         uint32_t rva);
  bool GeneratePeRelocations(ByteWriter* output, uint16_t type);
  bool GenerateElfRelocations(ByteWriter* output, uint32_t type);
  bool SortRelocations(GrowableArray<uint32_t>* sorted) const;

  uint64_t image_base_ = 0;
  GrowableArray<uint32_t> abs32_rva_;
  GrowableArray<uint32_t> rel32_rva_;
  GrowableArray<uint32_t> ops_;
  GrowableArray<uint32_t> origins_;
  GrowableArray<uint32_t> copy_counts_;
  GrowableArray<uint8_t> copy_bytes_;
  GrowableArray<uint32_t> abs32_ix_;
  GrowableArray<uint32_t> rel32_ix_;
  GrowableArray<uint32_t> abs32_relocs_;  // filled by Rebuild, not stored
};

// Status forms (values of PatchStatus).
PatchStatus StoreEncodedProgram(EncodedProgram* program, StreamBundleWriter* sink);
// The same through SerializeReleasing: the program is left empty, only fit
// to be freed.
PatchStatus StoreEncodedProgramReleasing(EncodedProgram* program, StreamBundleWriter* sink);
// A program read from untrusted data may hold at most max_table_entries
// entries in all its tables (see TableEntriesFor).
// With release_read, the set's streams are read for the last time and
// handed back as they are read (see Deserialize).
PatchStatus LoadEncodedProgram(StreamBundleReader* source, EncodedProgram** output,
                               size_t max_table_entries = SIZE_MAX, bool release_read = false);
// The table entries a program may hold that assembles into a sink with
// output_room bytes of room left.
size_t TableEntriesFor(size_t output_room);
PatchStatus RebuildExecutable(EncodedProgram* program, ByteWriter* output);
void FreeEncodedProgram(EncodedProgram* program);

}  // namespace voxpatch

#endif  // VOXPATCH_ENCODEDPROGRAM_H
