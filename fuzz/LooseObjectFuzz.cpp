// Feeds arbitrary bytes to the blob and commit readers as a loose object
// file, and (deflated under a valid header) as the contents of a commit and
// a blob: reading must end with the object or an error, never crash, hang or
// read out of bounds.
#include "FuzzSupport.h"
#include "Interfaces/LooseObject.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Blob.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Repo.h"

#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

const char* const kOid = "0123456789abcdef0123456789abcdef01234567";

// A bare repository of the fewest files libgit2 opens.
const std::filesystem::path& scratch() {
  static const std::filesystem::path path = [] {
    std::filesystem::path dir = tavrik::fuzz::makeScratchFolder("loose-fuzz");
    std::filesystem::create_directories(dir / "objects" / std::string(kOid, 2));
    std::filesystem::create_directories(dir / "refs" / "heads");
    std::ofstream(dir / "HEAD") << "ref: refs/heads/main\n";
    return dir;
  }();
  return path;
}

void readAsObject(const std::string& file) {
  std::ofstream(scratch() / "objects" / std::string(kOid, 2) / (kOid + 2), std::ios::binary | std::ios::trunc) << file;
  // Each read on a repository of its own: libgit2 caches what it read by id.
  const auto oid = *arbor::Oid::parse(kOid);
  try {
    (void)arbor::Blob::lookup(oid, arbor::Repo::openAtPath(scratch().string())).content();
  } catch (const arbor::Error&) {
  }
  try {
    (void)arbor::Commit::lookup(oid, arbor::Repo::openAtPath(scratch().string()));
  } catch (const arbor::Error&) {
  }
}

std::string deflated(const std::string& type, const std::string& contents) {
  const std::string object = type + " " + std::to_string(contents.size()) + '\0' + contents;
  uLongf size = compressBound(object.size());
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(object.data()), object.size());
  out.resize(size);
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string contents;
  for (const bool whole : {false, true}) {
    try {
      auto header = arbor::detail::inflateLooseObject(bytes, whole ? arbor::detail::LooseObjectAllocate(
                                                                         [&](size_t length) {
                                                                           contents.assign(length, '\0');
                                                                           return contents.data();
                                                                         })
                                                                   : nullptr);
      if (whole && header.size != contents.size()) __builtin_trap();
    } catch (const arbor::Error&) {
    }
  }
  readAsObject(bytes);
  readAsObject(deflated("commit", bytes));
  readAsObject(deflated("blob", bytes));
  return 0;
}
