#include "line/job_run.h"

#include "production/profile.h"

namespace quelmar::line {

std::string JobLabel(const std::string& name, int version) {
  return name + "@" + std::to_string(version);
}

std::string JobFormat(image::FileFormat format) {
  switch (format) {
    case image::FileFormat::kCodeImage:
      return "fcode";
    case image::FileFormat::kDataImage:
      return "fdata";
    case image::FileFormat::kElf:
      return "elf";
    case image::FileFormat::kIntelHex:
      return "hex";
    case image::FileFormat::kSrec:
      return "srec";
    case image::FileFormat::kUnknown:
      break;
  }
  return "";
}

namespace {

image::FileFormat FormatOfJob(const std::string& name) {
  for (image::FileFormat f :
       {image::FileFormat::kCodeImage, image::FileFormat::kDataImage, image::FileFormat::kElf,
        image::FileFormat::kIntelHex, image::FileFormat::kSrec}) {
    if (JobFormat(f) == name) return f;
  }
  return image::FileFormat::kUnknown;
}

}  // namespace

bool MakeRelease(const Job& job, std::shared_ptr<production::Release>* release,
                 std::vector<PoolField>* fields, std::string* why) {
  const std::string what = "job " + JobLabel(job.summary.name, job.summary.version);
  production::Profile profile;
  if (!production::LoadProfileText(job.profile, what + "'s profile", &profile, why)) return false;
  auto made = std::make_shared<production::Release>();
  made->job = production::JobRef{job.summary.name, job.summary.version, job.summary.sha256};
  for (const JobImage& image : job.images) {
    if (image.kind == "label") {
      std::vector<std::string> names;
      for (const production::FieldDef& f : profile.fields) names.push_back(f.name);
      std::string reason;
      if (image.format != "zpl" || !made->label.Parse(image.bytes, names, &reason) ||
          made->label.empty()) {
        *why = what + ": its label template '" + image.file + "' does not load" +
               (reason.empty() ? std::string() : ": " + reason);
        return false;
      }
      continue;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(image.bytes.data());
    const image::FileFormat format = FormatOfJob(image.format);
    const bool code = image.kind == "code";
    bool loaded = false;
    if (code && format == image::FileFormat::kCodeImage) {
      loaded = made->images.LoadCodeImageFromMemory(bytes, image.bytes.size());
    } else if (code && image::IsBuildOutput(format)) {
      loaded =
          made->images.LoadBuildOutputFromMemory(bytes, image.bytes.size(), format, image.file);
    } else if (!code && format == image::FileFormat::kDataImage) {
      loaded = made->images.LoadDataImageFromMemory(bytes, image.bytes.size());
    }
    if (!loaded || (code && !made->images.HasCodeImage())) {
      *why = what + ": its " + image.kind + " image '" + image.file + "' (" + image.format +
             ") does not load";
      return false;
    }
    const std::string shown = what + "/" + image.file;
    (code ? made->code_hash : made->data_hash) = production::FileHash{shown, image.sha256};
    (code ? made->code : made->data) = true;
  }
  made->reboot = profile.reboot.value_or(false);
  made->retries = profile.retries.value_or(0);
  made->scan = profile.scan;
  made->scan_pattern = profile.scan_pattern;
  if (!made->code && !made->data && !made->reboot) {
    *why = what + " has nothing to do: no image and no reboot";
    return false;
  }
  if (!made->plan.Prepare(profile.fields, made->images, why)) {
    *why = what + ": " + *why;
    return false;
  }
  fields->clear();
  for (const production::FieldDef& f : profile.fields) {
    if (f.pool.empty() && !f.from_scan) {
      *why = what + ": field '" + f.name + "' takes no pool";
      return false;
    }
    fields->push_back({f, f.pool});
  }
  *release = std::move(made);
  return true;
}

}  // namespace quelmar::line
