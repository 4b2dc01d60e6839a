#include "encodedprogram.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <new>

#include "addressdirectory.h"
#include "armbranchcodec.h"
#include "arraygrowth.h"
#include "bytereader.h"
#include "bytewriter.h"
#include "hugepages.h"
#include "logstream.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"
#include "varint.h"

namespace voxpatch {

namespace {

// Stream numbers of a written program.
enum : size_t {
  kStreamOrigins = 0,  // image base, then the origins
  kStreamOps = 1,
  kStreamCopyBytes = 2,
  kStreamAbs32Indexes = 3,
  kStreamRel32Indexes = 4,
  kStreamAbs32Addresses = 5,
  kStreamRel32Addresses = 6,
  kStreamCopyCounts = 7,
  kStreamUnused = 8,
};

const uint32_t kMaxRelocationsPerBlock = 4096;

size_t VarintSize(uint64_t value) {
  size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

// The bytes that WriteTable or WriteAddressTable give for a table.
uint64_t TableBytes(const GrowableArray<uint32_t>& table, bool deltas) {
  uint64_t total = VarintSize(table.size());
  uint32_t previous = 0;
  for (uint32_t value : table) {
    const uint32_t stored = deltas ? value - previous : value;
    previous = value;
    total += 1 + (stored >= (1u << 7)) + (stored >= (1u << 14)) + (stored >= (1u << 21)) +
             (stored >= (1u << 28));
  }
  return total;
}

bool WriteTable(ByteWriter* out, const GrowableArray<uint32_t>& table) {
  if (!out->PutSizeVarint(table.size())) return false;
  for (uint32_t value : table) {
    if (!out->PutVarint(value)) return false;
  }
  return true;
}

// Addresses are delta-coded (wrapping 32-bit differences).
bool WriteAddressTable(ByteWriter* out, const GrowableArray<uint32_t>& table) {
  if (!out->PutSizeVarint(table.size())) return false;
  uint32_t previous = 0;
  for (uint32_t value : table) {
    if (!out->PutVarint(value - previous)) return false;
    previous = value;
  }
  return true;
}

// Reads a count and checks it against what the stream can hold (every entry
// takes at least one byte, so a larger count is malformed) and against the
// entries the program may still hold in all, which it then takes from.
bool ReadCount(ByteReader* in, uint32_t* count, size_t* entries_left) {
  uint32_t value = 0;
  if (!in->GetVarint(&value)) return false;
  if (value > in->BytesLeft() || value > *entries_left) return false;
  *entries_left -= value;
  *count = value;
  return true;
}

bool ReadTable(ByteReader* in, GrowableArray<uint32_t>* table, size_t* entries_left) {
  uint32_t count = 0;
  if (!ReadCount(in, &count, entries_left)) return false;
  table->clear();
  if (!table->reserve(count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t value = 0;
    if (!in->GetVarint(&value)) return false;
    table->push_back(value);
  }
  return true;
}

bool ReadAddressTable(ByteReader* in, GrowableArray<uint32_t>* table, size_t* entries_left) {
  uint32_t count = 0;
  if (!ReadCount(in, &count, entries_left)) return false;
  table->clear();
  if (!table->reserve(count)) return false;
  uint32_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t delta = 0;
    if (!in->GetVarint(&delta)) return false;
    sum += delta;
    table->push_back(sum);
  }
  return true;
}

// With release_read, the stream's front goes back as the bytes are copied,
// so that the stream and the table are not both held whole.
bool ReadBytes(ByteReader* in, GrowableArray<uint8_t>* table, size_t* entries_left,
               bool release_read) {
  uint32_t count = 0;
  if (!ReadCount(in, &count, entries_left)) return false;
  table->clear();
  if (!table->reserve(count)) return false;
  const size_t kPiece = 1024 * 1024;
  const uintptr_t page = SystemPageSize();
  uintptr_t released = reinterpret_cast<uintptr_t>(in->Position());  // what went back ends here
  for (size_t done = 0; done < count;) {
    const size_t piece = count - done < kPiece ? count - done : kPiece;
    if (!in->Read(table->data() + done, piece)) return false;
    done += piece;
    // Whole pages only; the one the read stopped in goes with the next piece.
    const uintptr_t cut = reinterpret_cast<uintptr_t>(in->Position()) & ~(page - 1);
    if (release_read && cut > released) {
      ReleasePages(reinterpret_cast<uint8_t*>(released), cut - released);
      released = cut;
    }
  }
  return table->set_size(count);
}

bool Write32(ByteWriter* out, uint32_t value) {
  const uint8_t bytes[4] = {
      static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return out->Write(bytes, 4);
}

bool Write16(ByteWriter* out, uint32_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value),
                            static_cast<uint8_t>(value >> 8)};
  return out->Write(bytes, 2);
}

}  // namespace

void EncodedProgram::ReserveForBuilding(size_t ops, size_t origins, size_t copy_counts,
                                        size_t copy_bytes, size_t abs32_ix, size_t rel32_ix) {
  GrowPreserving(&ops_, ops);
  GrowPreserving(&origins_, origins);
  GrowPreserving(&copy_counts_, copy_counts);
  // Room for the count in front as well, so that a releasing write can
  // turn the table into its stream in place.
  GrowPreserving(&copy_bytes_, copy_bytes + kMaxVarintLength);
  GrowPreserving(&abs32_ix_, abs32_ix);
  GrowPreserving(&rel32_ix_, rel32_ix);
}

bool EncodedProgram::AppendOrigin(uint32_t rva) {
  return AppendOp(ORIGIN) && origins_.push_back(rva);
}

bool EncodedProgram::AppendCopy(size_t count, const uint8_t* bytes) {
  if (count == 0) {
    // An empty run still merges: a single byte before it becomes a run of
    // one, and with no run before it an empty run starts.
    if (!ops_.empty() && ops_[ops_.size() - 1] == COPY1) {
      ops_[ops_.size() - 1] = COPY;
      return copy_counts_.push_back(1);
    }
    if (!ops_.empty() && ops_[ops_.size() - 1] == COPY) return true;
    return AppendOp(COPY) && copy_counts_.push_back(0);
  }
  while (count != 0) {
    // One op's count is 32 bits; longer runs continue in a further op.
    if (!ops_.empty() && ops_[ops_.size() - 1] == COPY1) {
      ops_[ops_.size() - 1] = COPY;
      if (!copy_counts_.push_back(1)) return false;
    }
    if (!ops_.empty() && ops_[ops_.size() - 1] == COPY &&
        !copy_counts_.empty() && copy_counts_[copy_counts_.size() - 1] != 0xFFFFFFFFu) {
      uint32_t& last = copy_counts_[copy_counts_.size() - 1];
      const size_t room = 0xFFFFFFFFu - last;
      const size_t take = count < room ? count : room;
      if (!copy_bytes_.append(bytes, take)) return false;
      last += static_cast<uint32_t>(take);
      bytes += take;
      count -= take;
      continue;
    }
    if (count == 1) {
      return AppendOp(COPY1) && copy_bytes_.append(bytes, 1);
    }
    const size_t take = count < 0xFFFFFFFFu ? count : 0xFFFFFFFFu;
    if (!AppendOp(COPY) || !copy_counts_.push_back(static_cast<uint32_t>(take)) ||
        !copy_bytes_.append(bytes, take))
      return false;
    bytes += take;
    count -= take;
  }
  return true;
}

bool EncodedProgram::AppendRel32(uint32_t label_index) {
  return AppendOp(REL32) && rel32_ix_.push_back(label_index);
}

bool EncodedProgram::AppendAbs32(uint32_t label_index) {
  return AppendOp(ABS32) && abs32_ix_.push_back(label_index);
}

bool EncodedProgram::AppendArmRel32(uint16_t compressed_op, uint32_t label_index) {
  return AppendOp(compressed_op) && rel32_ix_.push_back(label_index);
}

bool EncodedProgram::AppendPeRelocTable(int flag) {
  return AppendOp(flag == 1 ? MAKE_PE_RELOCATION_TABLE : MAKE_PE64_RELOCATION_TABLE);
}

bool EncodedProgram::AppendElfRelocTable() { return AppendOp(MAKE_ELF_RELOCATION_TABLE); }

bool EncodedProgram::AppendElfArmRelocTable() {
  return AppendOp(MAKE_ELF_ARM_RELOCATION_TABLE);
}

bool EncodedProgram::SetAddress(GrowableArray<uint32_t>* table, int32_t index,
                                uint32_t rva) {
  if (index < 0) return false;
  const size_t slot = static_cast<size_t>(index);
  while (table->size() <= slot) {
    if (!table->push_back(kUnassigned)) return false;
  }
  (*table)[slot] = rva;
  return true;
}

bool EncodedProgram::ReserveRel32Addresses(size_t count) {
  return ReservePreserving(&rel32_rva_, count);
}

bool EncodedProgram::ReserveAbs32Addresses(size_t count) {
  return ReservePreserving(&abs32_rva_, count);
}

bool EncodedProgram::SetRel32Address(int32_t index, uint32_t rva) {
  return SetAddress(&rel32_rva_, index, rva);
}

bool EncodedProgram::SetAbs32Address(int32_t index, uint32_t rva) {
  return SetAddress(&abs32_rva_, index, rva);
}

bool EncodedProgram::FinishLabels() {
  for (GrowableArray<uint32_t>* table : {&abs32_rva_, &rel32_rva_}) {
    uint32_t previous = 0;
    for (uint32_t& value : *table) {
      if (value == kUnassigned) value = previous;
      previous = value;
    }
  }
  return true;
}

bool EncodedProgram::WriteStreamTable(StreamBundleWriter* sink, size_t which, bool release) {
  ByteWriter* out = sink->stream(which);
  if (which == kStreamCopyBytes) {
    const size_t count = copy_bytes_.size();
    if (release && count <= 0xFFFFFFFFu && out->Length() == 0 && !out->Failed() &&
        !copy_bytes_.failed()) {
      uint8_t prefix[kMaxVarintLength];
      const size_t prefix_length = EncodeVarint(static_cast<uint32_t>(count), prefix);
      if (copy_bytes_.capacity() - count >= prefix_length) {
        // The table becomes the stream: its bytes move up behind the count.
        std::memmove(copy_bytes_.data() + prefix_length, copy_bytes_.data(), count);
        std::memcpy(copy_bytes_.data(), prefix, prefix_length);
        copy_bytes_.set_size(count + prefix_length);
        ByteWriter taken(static_cast<GrowableArray<uint8_t>&&>(copy_bytes_));
        return out->Append(&taken);
      }
    }
    const bool ok = out->Reserve(out->Length() + VarintSize(count) + count) &&
                    out->PutSizeVarint(count) && out->Write(copy_bytes_.data(), count);
    if (release) copy_bytes_.clear();
    return ok;
  }

  GrowableArray<uint32_t>* table = nullptr;
  bool deltas = false;
  switch (which) {
    case kStreamOrigins: table = &origins_; break;
    case kStreamOps: table = &ops_; break;
    case kStreamAbs32Indexes: table = &abs32_ix_; break;
    case kStreamRel32Indexes: table = &rel32_ix_; break;
    case kStreamAbs32Addresses: table = &abs32_rva_; deltas = true; break;
    case kStreamRel32Addresses: table = &rel32_rva_; deltas = true; break;
    case kStreamCopyCounts: table = &copy_counts_; break;
    default: return false;
  }
  // The stream gets its exact size up front; the op stream at least the op
  // count plus 5 bytes.
  const uint64_t exact = out->Length() + TableBytes(*table, deltas);
  uint64_t wanted = exact;
  if (which == kStreamOps) {
    const uint64_t floor = static_cast<uint64_t>(out->Length()) + table->size() + 5;
    if (floor > wanted) wanted = floor;
  }
  bool ok = wanted <= std::numeric_limits<size_t>::max() &&
            out->Reserve(static_cast<size_t>(wanted));
  ok = ok && (deltas ? WriteAddressTable(out, *table) : WriteTable(out, *table));
  if (release) table->clear();
  return ok;
}

bool EncodedProgram::SerializeTables(StreamBundleWriter* sink, bool release) {
  if (sink->count() <= kStreamUnused) return false;
  if (!sink->stream(kStreamOrigins)->PutVarint(static_cast<uint32_t>(image_base_))) return false;

  // The order in which the tables reach their streams; within a stream only
  // the order of its own contents matters.
  size_t order[] = {kStreamAbs32Addresses, kStreamRel32Addresses, kStreamOrigins,
                    kStreamOps,            kStreamCopyCounts,     kStreamCopyBytes,
                    kStreamAbs32Indexes,   kStreamRel32Indexes};
  if (release) {
    // The largest table first: each one freed makes room for the next
    // streams.
    auto bytes_of = [this](size_t which) -> uint64_t {
      switch (which) {
        case kStreamOrigins: return 4ull * origins_.size();
        case kStreamOps: return 4ull * ops_.size();
        case kStreamCopyBytes: return copy_bytes_.size();
        case kStreamAbs32Indexes: return 4ull * abs32_ix_.size();
        case kStreamRel32Indexes: return 4ull * rel32_ix_.size();
        case kStreamAbs32Addresses: return 4ull * abs32_rva_.size();
        case kStreamRel32Addresses: return 4ull * rel32_rva_.size();
        default: return 4ull * copy_counts_.size();
      }
    };
    std::stable_sort(std::begin(order), std::end(order),
                     [&](size_t a, size_t b) { return bytes_of(a) > bytes_of(b); });
  }
  // Every table is written even after an earlier one failed.
  bool ok = true;
  for (size_t which : order) ok &= WriteStreamTable(sink, which, release);
  return ok;
}

bool EncodedProgram::Serialize(StreamBundleWriter* sink) { return SerializeTables(sink, false); }

bool EncodedProgram::SerializeReleasing(StreamBundleWriter* sink) {
  const bool ok = SerializeTables(sink, true);
  // Also when the image base could not be written, nothing is kept.
  for (GrowableArray<uint32_t>* table : {&abs32_rva_, &rel32_rva_, &ops_, &origins_,
                                         &copy_counts_, &abs32_ix_, &rel32_ix_, &abs32_relocs_})
    table->clear();
  copy_bytes_.clear();
  return ok;
}

bool EncodedProgram::Deserialize(StreamBundleReader* source, size_t max_entries,
                                 bool release_read) {
  size_t left = max_entries;
  if (source->count() < 8) return false;
  ByteReader* origins = source->stream(kStreamOrigins);
  const uint8_t* const origins_start = origins->Position();
  uint32_t base = 0;
  if (!origins->GetVarint(&base)) return false;
  image_base_ = base;

  // A stream's table is read whole before the next; with release_read its
  // bytes then go back.
  auto table = [&](ByteReader* in, GrowableArray<uint32_t>* into, bool differences,
                   const uint8_t* start) {
    if (start == nullptr) start = in->Position();
    const bool ok = differences ? ReadAddressTable(in, into, &left) : ReadTable(in, into, &left);
    if (ok && release_read)
      ReleasePages(const_cast<uint8_t*>(start), static_cast<size_t>(in->Position() - start));
    return ok;
  };
  if (!table(source->stream(kStreamAbs32Addresses), &abs32_rva_, true, nullptr) ||
      !table(source->stream(kStreamRel32Addresses), &rel32_rva_, true, nullptr) ||
      !table(origins, &origins_, false, origins_start) ||
      !table(source->stream(kStreamOps), &ops_, false, nullptr) ||
      !table(source->stream(kStreamCopyCounts), &copy_counts_, false, nullptr) ||
      !ReadBytes(source->stream(kStreamCopyBytes), &copy_bytes_, &left, release_read) ||
      !table(source->stream(kStreamAbs32Indexes), &abs32_ix_, false, nullptr) ||
      !table(source->stream(kStreamRel32Indexes), &rel32_ix_, false, nullptr))
    return false;

  for (size_t i = 0; i <= kStreamUnused; ++i) {
    ByteReader* stream = source->stream(i);
    if (stream != nullptr && !stream->Empty()) return false;
  }
  return true;
}

bool EncodedProgram::Rebuild(ByteWriter* output, bool release_consumed) {
  uint32_t address = 0;
  size_t ix_origin = 0;
  size_t ix_count = 0;
  size_t ix_byte = 0;
  size_t ix_abs32 = 0;
  size_t ix_rel32 = 0;
  bool pe_pending = false;
  bool elf_pending = false;
  uint16_t pe_type = 3;
  uint32_t elf_type = 8;
  // Bytes behind a relocation table wait here until the table is made; they
  // count against the same cap as the output.
  ByteWriter side;
  side.SetLimit(output->Room());
  ByteWriter* out = output;

  abs32_relocs_.clear();
  if (abs32_relocs_.failed()) return false;

  // Used-up table fronts go back every so many ops.
  const size_t kReleaseStep = 64 * 1024;
  size_t ix_op = 0;
  auto release = [&]() {
    ReleasePages(ops_.data(), ix_op * sizeof(uint32_t));
    ReleasePages(origins_.data(), ix_origin * sizeof(uint32_t));
    ReleasePages(copy_counts_.data(), ix_count * sizeof(uint32_t));
    ReleasePages(copy_bytes_.data(), ix_byte);
    ReleasePages(abs32_ix_.data(), ix_abs32 * sizeof(uint32_t));
    ReleasePages(rel32_ix_.data(), ix_rel32 * sizeof(uint32_t));
  };

  for (uint32_t op : ops_) {
    if (release_consumed && ++ix_op % kReleaseStep == 0) release();
    switch (op) {
      case ORIGIN:
        if (ix_origin >= origins_.size()) return false;
        address = origins_[ix_origin++];
        break;
      case COPY: {
        if (ix_count >= copy_counts_.size()) return false;
        const uint32_t count = copy_counts_[ix_count++];
        if (count > copy_bytes_.size() - ix_byte) return false;
        if (!out->Write(copy_bytes_.data() + ix_byte, count)) return false;
        ix_byte += count;
        address += count;
        break;
      }
      case COPY1:
        if (ix_byte >= copy_bytes_.size()) return false;
        if (!out->Write(copy_bytes_.data() + ix_byte, 1)) return false;
        ++ix_byte;
        address += 1;
        break;
      case REL32: {
        if (ix_rel32 >= rel32_ix_.size()) return false;
        const uint32_t index = rel32_ix_[ix_rel32++];
        if (index >= rel32_rva_.size()) return false;
        if (!Write32(out, rel32_rva_[index] - (address + 4))) return false;
        address += 4;
        break;
      }
      case ABS32: {
        if (ix_abs32 >= abs32_ix_.size()) return false;
        const uint32_t index = abs32_ix_[ix_abs32++];
        if (index >= abs32_rva_.size()) return false;
        if (!abs32_relocs_.push_back(address)) return false;
        if (!Write32(out, abs32_rva_[index] + static_cast<uint32_t>(image_base_)))
          return false;
        address += 4;
        break;
      }
      case MAKE_PE_RELOCATION_TABLE:
      case MAKE_PE64_RELOCATION_TABLE:
        if (pe_pending) return false;
        pe_pending = true;
        pe_type = op == MAKE_PE64_RELOCATION_TABLE ? 10 : 3;
        out = &side;
        break;
      case MAKE_ELF_RELOCATION_TABLE:
      case MAKE_ELF_ARM_RELOCATION_TABLE:
        if (elf_pending) return false;
        elf_pending = true;
        elf_type = op == MAKE_ELF_ARM_RELOCATION_TABLE ? 23 : 8;
        out = &side;
        break;
      default: {
        // ARM branches: bits 12..15 select the type, the rest is the
        // compressed instruction.
        if (op > 0xFFFF) return false;
        const uint32_t selector = op >> 12;
        if (selector < 1 || selector > 5) return false;
        const uint32_t type = selector - 1;
        if (ix_rel32 >= rel32_ix_.size()) return false;
        const uint32_t index = rel32_ix_[ix_rel32++];
        if (index >= rel32_rva_.size()) return false;
        uint32_t word = 0;
        if (!DecompressArmBranch(type, static_cast<uint16_t>(op),
                                 rel32_rva_[index] - address, &word))
          return false;
        bool written = false;
        if (type <= 1) {
          written = Write16(out, word);
          address += 2;
        } else if (type == 2) {
          written = Write32(out, word);
          address += 4;
        } else {
          written = Write16(out, word >> 16) && Write16(out, word);
          address += 4;
        }
        if (!written) return false;
        break;
      }
    }
  }

  if (pe_pending) {
    if (!GeneratePeRelocations(output, pe_type) || !output->Append(&side)) return false;
  }
  if (elf_pending) {
    if (!GenerateElfRelocations(output, elf_type) || !output->Append(&side)) return false;
  }

  return ix_count == copy_counts_.size() && ix_byte == copy_bytes_.size() &&
         ix_abs32 == abs32_ix_.size() && ix_rel32 == rel32_ix_.size();
}

bool EncodedProgram::SortRelocations(GrowableArray<uint32_t>* sorted) const {
  if (!sorted->append(abs32_relocs_.data(), abs32_relocs_.size())) return false;
  // The last recorded address keeps its place at the end; with no address
  // there is nothing to sort.
  if (sorted->size() > 1) SortAddresses(sorted->data(), sorted->size() - 1);
  return true;
}

bool EncodedProgram::GeneratePeRelocations(ByteWriter* output, uint16_t type) {
  GrowableArray<uint32_t> sorted;
  if (!SortRelocations(&sorted)) return false;

  uint32_t page = 0xFFFFFFFFu;
  GrowableArray<uint16_t> entries;

  auto flush = [&]() -> bool {
    if (entries.empty()) return true;
    if ((entries.size() & 1) != 0 && !entries.push_back(0)) return false;
    const uint32_t size = 8 + 2 * static_cast<uint32_t>(entries.size());
    if (!Write32(output, page) || !Write32(output, size)) return false;
    for (uint16_t entry : entries) {
      if (!Write16(output, entry)) return false;
    }
    entries.clear();
    return true;
  };

  for (uint32_t rva : sorted) {
    const uint32_t this_page = rva & ~0xFFFu;
    // A block holds at most 4096 entries; more on one page (possible only
    // when origins revisit addresses) continue in a further block.
    if (this_page != page || entries.size() >= kMaxRelocationsPerBlock) {
      if (!flush()) return false;
      page = this_page;
    }
    if (!entries.push_back(static_cast<uint16_t>((type << 12) | (rva & 0xFFF))))
      return false;
  }
  return flush();
}

bool EncodedProgram::GenerateElfRelocations(ByteWriter* output, uint32_t type) {
  GrowableArray<uint32_t> sorted;
  if (!SortRelocations(&sorted)) return false;
  for (uint32_t rva : sorted) {
    if (!Write32(output, rva) || !Write32(output, type)) return false;
  }
  return true;
}

void EncodedProgram::LogSummary() const {
  LogStream(kLogDebug) << "EncodedProgram Summary"
                       << "\n  image base  " << image_base_
                       << "\n  abs32 rvas  " << abs32_rva_.size()
                       << "\n  rel32 rvas  " << rel32_rva_.size()
                       << "\n  ops         " << ops_.size()
                       << "\n  origins     " << origins_.size()
                       << "\n  copy_counts " << copy_counts_.size()
                       << "\n  copy_bytes  " << copy_bytes_.size()
                       << "\n  abs32_ix    " << abs32_ix_.size()
                       << "\n  rel32_ix    " << rel32_ix_.size();
}

PatchStatus StoreEncodedProgram(EncodedProgram* program, StreamBundleWriter* sink) {
  return program->Serialize(sink) ? C_OK : C_STREAM_ERROR;
}

PatchStatus StoreEncodedProgramReleasing(EncodedProgram* program, StreamBundleWriter* sink) {
  return program->SerializeReleasing(sink) ? C_OK : C_STREAM_ERROR;
}

PatchStatus LoadEncodedProgram(StreamBundleReader* source, EncodedProgram** output,
                               size_t max_table_entries, bool release_read) {
  *output = nullptr;
  EncodedProgram* program = new (std::nothrow) EncodedProgram();
  if (program == nullptr) return C_DESERIALIZATION_FAILED;
  if (!program->Deserialize(source, max_table_entries, release_read)) {
    delete program;
    return C_DESERIALIZATION_FAILED;
  }
  *output = program;
  return C_OK;
}

size_t TableEntriesFor(size_t output_room) {
  // A program spends at most two table entries per byte it assembles (a
  // reference every two bytes of ARM code takes an op, an index and an
  // address), plus a few for origins and empty tables.
  constexpr size_t kSpare = 1u << 16;
  if (output_room > (SIZE_MAX - kSpare) / 2) return SIZE_MAX;
  return 2 * output_room + kSpare;
}

PatchStatus RebuildExecutable(EncodedProgram* program, ByteWriter* output) {
  return program->Rebuild(output) ? C_OK : C_ASSEMBLY_FAILED;
}

void FreeEncodedProgram(EncodedProgram* program) { delete program; }

}  // namespace voxpatch
