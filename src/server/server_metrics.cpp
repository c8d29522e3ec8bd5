#include "server/server_metrics.h"

namespace quor {
namespace {

void add(std::string& text, const char* name, const char* type, const char* help,
         int64_t value) {
  std::string full = std::string("quor_update_server_") + name;
  text += "# HELP " + full + " " + help + "\n";
  text += "# TYPE " + full + " " + type + "\n";
  text += full + " " + std::to_string(value) + "\n";
}

int64_t read(const std::atomic<uint64_t>& counter) {
  return static_cast<int64_t>(counter.load(std::memory_order_relaxed));
}

int64_t read(const std::atomic<int64_t>& gauge) { return gauge.load(std::memory_order_relaxed); }

}  // namespace

std::string renderMetrics(const ServerMetrics& m) {
  std::string text;
  add(text, "connects_total", "counter", "Connections accepted.", read(m.connects));
  add(text, "disconnects_total", "counter", "Connections ended, by either side.",
      read(m.disconnects));
  add(text, "sent_bytes_total", "counter", "Reply bytes handed to the network.",
      read(m.sentBytes));
  add(text, "whole_replies_total", "counter", "Whole files sent.", read(m.wholeReplies));
  add(text, "range_replies_total", "counter", "File pieces sent.", read(m.rangeReplies));
  add(text, "refused_requests_total", "counter",
      "Requests for names the folder does not serve, answered empty.", read(m.refusedRequests));
  add(text, "busy_requests_total", "counter", "Requests answered busy: the queues were full.",
      read(m.busyRequests));
  add(text, "dropped_requests_total", "counter", "Requests dropped unread: not understood.",
      read(m.droppedRequests));
  add(text, "stalled_closed_total", "counter", "Connections closed as stalled.",
      read(m.stalledClosed));
  add(text, "idle_closed_total", "counter", "Connections closed as idle.", read(m.idleClosed));
  add(text, "connections", "gauge", "Connections open now.", read(m.connections));
  add(text, "queued_reply_bytes", "gauge", "Reply bytes waiting to be sent.",
      read(m.queuedReplyBytes));
  add(text, "free_slots", "gauge", "Connections the server can still take.", read(m.freeSlots));
  add(text, "data_files", "gauge", "Files in the update data folder served.", read(m.dataFiles));
  add(text, "data_bytes", "gauge", "Bytes of the update data folder served.", read(m.dataBytes));
  add(text, "serving", "gauge", "1 while the server listens and serves.", read(m.serving));
  add(text, "start_time_seconds", "gauge", "When the server started, in seconds since 1970.",
      read(m.startTimeSeconds));
  return text;
}

}  // namespace quor
