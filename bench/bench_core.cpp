// Throughput of the C exports and of the UTF-8 check, in bytes of input
// per second, beside memcpy of the same bytes (the physical limit) and
// simdjson's DOM parse of the same records as JSON.
//
// Reads the corpora that bench/gen_corpus.py writes, from the directory in
// MARLET_BENCH_DATA (default bench/data).
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "marlet.h"
#include "utf8.hpp"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << path << " (run bench/gen_corpus.py first)\n";
    std::exit(2);
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string data_dir() {
  const char* d = std::getenv("MARLET_BENCH_DATA");
  return d != nullptr ? d : "bench/data";
}

const std::string& corpus(const std::string& name) {
  static std::vector<std::pair<std::string, std::string>> cache;
  for (auto& [n, text] : cache)
    if (n == name) return text;
  cache.emplace_back(name, read_file(data_dir() + "/" + name));
  return cache.back().second;
}

void set_bytes(benchmark::State& state, std::size_t n) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n));
}

void BM_memcpy(benchmark::State& state, const char* file) {
  const std::string& text = corpus(file);
  std::vector<char> dst(text.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), text.data(), text.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  set_bytes(state, text.size());
}

void BM_utf8(benchmark::State& state, const char* file) {
  const std::string& text = corpus(file);
  for (auto _ : state) benchmark::DoNotOptimize(marlet_core::is_valid_utf8(text));
  set_bytes(state, text.size());
}

void BM_simdjson_utf8(benchmark::State& state, const char* file) {
  const std::string& text = corpus(file);
  for (auto _ : state) benchmark::DoNotOptimize(simdjson::validate_utf8(text.data(), text.size()));
  set_bytes(state, text.size());
}

// The three exports that return a string, released as a caller would.
template <char* (*Export)(const char*, size_t)>
void BM_string_export(benchmark::State& state, const char* file) {
  const std::string& text = corpus(file);
  for (auto _ : state) {
    char* out = Export(text.data(), text.size());
    benchmark::DoNotOptimize(out);
    marlet_free_string(out);
  }
  set_bytes(state, text.size());
}

void BM_marlet_parse_binary(benchmark::State& state, const char* file) {
  const std::string& text = corpus(file);
  for (auto _ : state) {
    uint8_t* buf = nullptr;
    size_t len = 0;
    benchmark::DoNotOptimize(marlet_parse_binary(text.data(), text.size(), &buf, &len));
    marlet_free_buffer(buf, len);
  }
  set_bytes(state, text.size());
}

void BM_simdjson_dom(benchmark::State& state, const char* file) {
  const std::string& text = corpus(file);
  simdjson::padded_string padded(text);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element doc;
    if (parser.parse(padded).get(doc) != simdjson::SUCCESS) state.SkipWithError("simdjson rejected the corpus");
    benchmark::DoNotOptimize(doc);
  }
  set_bytes(state, text.size());
}

// simdjson's DOM parse plus a walk that reads every key and value, the
// least a caller must do to get at the records.
void BM_simdjson_dom_walk(benchmark::State& state, const char* file) {
  const std::string& text = corpus(file);
  simdjson::padded_string padded(text);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element doc;
    if (parser.parse(padded).get(doc) != simdjson::SUCCESS) state.SkipWithError("simdjson rejected the corpus");
    std::size_t total = 0;
    for (simdjson::dom::object obj : doc.get_array()) {
      for (auto field : obj) total += field.key.size() + std::string_view(field.value.get_string()).size();
    }
    benchmark::DoNotOptimize(total);
  }
  set_bytes(state, text.size());
}

void register_all() {
  for (const char* shape : {"small", "short", "ascii", "large", "longval", "nonascii"}) {
    const std::string s = shape;
    static std::vector<std::string> names = [] { std::vector<std::string> v; v.reserve(64); return v; }();  // keeps the file names alive
    names.push_back(s + ".marl");
    const char* marl = names.back().c_str();
    names.push_back(s + ".marlc");
    const char* marlc = names.back().c_str();
    names.push_back(s + ".json");
    const char* json = names.back().c_str();
    benchmark::RegisterBenchmark(("memcpy/" + s).c_str(), BM_memcpy, marl);
    benchmark::RegisterBenchmark(("utf8/" + s).c_str(), BM_utf8, marl);
    benchmark::RegisterBenchmark(("simdjson_utf8/" + s).c_str(), BM_simdjson_utf8, marl);
    benchmark::RegisterBenchmark(("marlet_parse/" + s).c_str(), BM_string_export<marlet_parse>, marl);
    benchmark::RegisterBenchmark(("marlet_parse_binary/" + s).c_str(), BM_marlet_parse_binary, marl);
    benchmark::RegisterBenchmark(("marlet_parse_compact/" + s).c_str(), BM_string_export<marlet_parse_compact>, marlc);
    benchmark::RegisterBenchmark(("marlet_write_compact/" + s).c_str(), BM_string_export<marlet_write_compact>, json);
    benchmark::RegisterBenchmark(("simdjson_dom/" + s).c_str(), BM_simdjson_dom, json);
    benchmark::RegisterBenchmark(("simdjson_dom_walk/" + s).c_str(), BM_simdjson_dom_walk, json);
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
