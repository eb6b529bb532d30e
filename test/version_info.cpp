// Prints what Windows itself reads from an exe's resources: the version
// resource (as GetFileVersionInfo and VerQueryValue give it to Explorer's
// Properties) and the application manifest.  Cross-built with MinGW-w64
// and run under Wine by scripts/test-windows.sh.
//   version_info FILE.exe
// One "Name=value" line per field, then "Manifest:" and the manifest's text.
// Status 1, with the reason on standard error, if a part is missing.
#include <windows.h>

#include <cstdio>
#include <vector>

static int missing(const char* what) {
  std::fprintf(stderr, "version_info: %s (error %lu)\n", what, GetLastError());
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: version_info FILE.exe\n");
    return 2;
  }
  const char* file = argv[1];

  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(file, &handle);
  if (size == 0) return missing("no version resource");
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(file, 0, size, info.data())) return missing("GetFileVersionInfoA failed");

  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
    return missing("no fixed file information");
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != 0xFEEF04BD) return missing("bad fixed file information signature");
  std::printf("FixedFileVersion=%u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
              LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
              LOWORD(fixed->dwFileVersionLS));
  std::printf("FixedProductVersion=%u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS),
              LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
              LOWORD(fixed->dwProductVersionLS));

  // The strings are read in the first language the resource lists, as
  // Explorer does.
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length) || length < 4)
    return missing("no translation table");
  const WORD* translation = static_cast<const WORD*>(value);
  const char* names[] = {"FileVersion",    "ProductVersion", "ProductName",
                         "FileDescription", "LegalCopyright", "OriginalFilename"};
  for (const char* name : names) {
    char path[96];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                  translation[1], name);
    if (!VerQueryValueA(info.data(), path, &value, &length) || length == 0) return missing(path);
    std::printf("%s=%s\n", name, static_cast<const char*>(value));
  }

  HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return missing("LoadLibraryExA failed");
  HRSRC resource =
      FindResourceA(module, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
  if (!resource) return missing("no application manifest");
  HGLOBAL loaded = LoadResource(module, resource);
  DWORD manifest_size = SizeofResource(module, resource);
  const void* manifest = loaded ? LockResource(loaded) : nullptr;
  if (!manifest || manifest_size == 0) return missing("unreadable application manifest");
  std::printf("Manifest:\n");
  std::fwrite(manifest, 1, manifest_size, stdout);
  std::printf("\n");
  return std::fflush(stdout) == 0 ? 0 : 1;
}
