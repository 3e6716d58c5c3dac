// Micro-benchmarks of a custom uploader's three steps: reading a file, making the request for a
// screenshot (the boundary search is the pass over the file's bytes), and reading an answer.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "common/CustomUploader.h"

namespace {

const std::string File = R"~({
  "Version": "14.0.0", "Name": "Example", "DestinationType": "ImageUploader",
  "RequestMethod": "POST", "RequestURL": "https://up.example/upload",
  "Parameters": {"key": "0123456789abcdef"}, "Headers": {"Authorization": "Bearer token-1234"},
  "Body": "MultipartFormData", "Arguments": {"title": "{filename}"}, "FileFormName": "file",
  "URL": "{json:files[0].url}", "ThumbnailURL": "{regex:\"thumb\": \"([^\"]+)\"|1}",
  "DeletionURL": "{json:files[0].delete}", "ErrorMessage": "{json:error}"})~";

CustomUploader loaded() {
  return std::get<CustomUploader>(CustomUploader::parse(File));
}

void load(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(CustomUploader::parse(File));
}
BENCHMARK(load);

void requestForFile(benchmark::State& state) {
  std::string bytes(static_cast<size_t>(state.range(0)) << 20, '\0');
  std::mt19937_64 random(5);
  for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    const uint64_t word = random();
    std::memcpy(&bytes[i], &word, 8);
  }
  const platform::Data file(bytes.begin(), bytes.end());
  const CustomUploader uploader = loaded();
  for (auto _ : state) benchmark::DoNotOptimize(uploader.requestForFile(file, "Picture 1.png"));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * file.size());
}
BENCHMARK(requestForFile)->Arg(1)->Arg(10);

void linksForAnswer(benchmark::State& state) {
  std::string body =
      R"~({"files": [{"url": "https://i.example/a.png", "thumb": "https://i.example/t.png",
                          "delete": "https://i.example/d/a"}], "padding": ")~";
  body += std::string(static_cast<size_t>(state.range(0)) << 10, 'x') + "\"}";
  const CustomUploader::Answer answer{200, {}, platform::Data(body.begin(), body.end()), ""};
  const CustomUploader uploader = loaded();
  for (auto _ : state) benchmark::DoNotOptimize(uploader.linksForAnswer(answer, "Picture 1.png"));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * body.size());
}
BENCHMARK(linksForAnswer)->Arg(1)->Arg(512);

}  // namespace

BENCHMARK_MAIN();
