# Receive limits for the bundled ENet 1.3.5.
#
# ENet 1.3.5 reserves the whole announced size of a fragmented packet (up to
# 1 GiB) as soon as its first fragment arrives, for every new packet a peer
# starts, and aborts the process when memory runs out: a few datagrams from
# a hostile peer would end the server or the updater. Later ENet releases
# bound this with two host fields, maximumPacketSize and maximumWaitingData;
# this file gives the bundled copy the same two fields with the same
# meaning, so src/net/transport_limits.cpp sets them as it does for a
# system ENet:
#   - a packet above host->maximumPacketSize is neither sent nor received;
#   - a peer starts no new fragmented packet while the fragmented packets it
#     has waiting (started or delivered but not yet received by the program)
#     hold host->maximumWaitingData bytes or more.
# Unreliable fragments, which neither program sends, are ignored.
#
# quor_patch_enet(PRISTINE PATCHED) copies the sources from PRISTINE to
# PATCHED with these changes. Each change must match the 1.3.5 sources
# exactly once; anything else stops the configuration.

function(quor_replace_once content_var file old new)
  string(FIND "${${content_var}}" "${old}" first)
  string(FIND "${${content_var}}" "${old}" last REVERSE)
  if(first EQUAL -1 OR NOT first EQUAL last)
    message(FATAL_ERROR "ENet receive limits: ${file} does not contain exactly one\n${old}")
  endif()
  string(REPLACE "${old}" "${new}" replaced "${${content_var}}")
  set(${content_var} "${replaced}" PARENT_SCOPE)
endfunction()

function(quor_replace_all content_var file old new count)
  string(REPLACE "${old}" "" stripped "${${content_var}}")
  string(LENGTH "${${content_var}}" length)
  string(LENGTH "${stripped}" stripped_length)
  string(LENGTH "${old}" old_length)
  math(EXPR found "(${length} - ${stripped_length}) / ${old_length}")
  if(NOT found EQUAL count)
    message(FATAL_ERROR "ENet receive limits: ${file} contains ${found}, not ${count}, of\n${old}")
  endif()
  string(REPLACE "${old}" "${new}" replaced "${${content_var}}")
  set(${content_var} "${replaced}" PARENT_SCOPE)
endfunction()

# Writes content to path only when it differs, so that configuring again
# does not rebuild ENet.
function(quor_write_if_changed path content)
  file(WRITE "${path}.new" "${content}")
  configure_file("${path}.new" "${path}" COPYONLY)
  file(REMOVE "${path}.new")
endfunction()

function(quor_patch_enet pristine patched)
  file(GLOB sources RELATIVE "${pristine}" "${pristine}/*.c" "${pristine}/include/enet/*.h")
  foreach(source IN LISTS sources)
    file(READ "${pristine}/${source}" content)
    if(source STREQUAL "include/enet/enet.h")
      quor_replace_once(content ${source}
        "   int                  isClient;\n} ENetHost;"
        "   int                  isClient;\n   size_t               maximumPacketSize;\n   size_t               maximumWaitingData;\n} ENetHost;")
      quor_replace_once(content ${source}
        "   enet_uint32   eventData;\n} ENetPeer;"
        "   enet_uint32   eventData;\n   size_t        totalWaitingData;\n} ENetPeer;")
    elseif(source STREQUAL "host.c")
      quor_replace_once(content ${source}
        "    host -> isClient = 0;\n"
        "    host -> isClient = 0;\n    host -> maximumPacketSize = 32 * 1024 * 1024;\n    host -> maximumWaitingData = 32 * 1024 * 1024;\n")
    elseif(source STREQUAL "peer.c")
      quor_replace_once(content ${source}
        "       packet -> dataLength > ENET_PROTOCOL_MAXIMUM_PACKET_SIZE)"
        "       packet -> dataLength > peer -> host -> maximumPacketSize)")
      quor_replace_once(content ${source}
        "   packet = incomingCommand -> packet;\n"
        "   packet = incomingCommand -> packet;\n\n   if (incomingCommand -> fragments != NULL)\n     peer -> totalWaitingData -= packet -> dataLength < peer -> totalWaitingData ? packet -> dataLength : peer -> totalWaitingData;\n")
      quor_replace_once(content ${source}
        "    enet_peer_reset_incoming_commands (& peer -> dispatchedCommands);\n"
        "    enet_peer_reset_incoming_commands (& peer -> dispatchedCommands);\n    peer -> totalWaitingData = 0;\n")
    elseif(source STREQUAL "protocol.c")
      quor_replace_all(content ${source}
        "        totalLength > ENET_PROTOCOL_MAXIMUM_PACKET_SIZE ||"
        "        totalLength > host -> maximumPacketSize ||" 2)
      quor_replace_once(content ${source}
        "       ENetPacket * packet = enet_packet_create (NULL, totalLength, ENET_PACKET_FLAG_RELIABLE);\n"
        "       ENetPacket * packet;\n       if (peer -> totalWaitingData >= host -> maximumWaitingData)\n         return -1;\n       packet = enet_packet_create (NULL, totalLength, ENET_PACKET_FLAG_RELIABLE);\n")
      quor_replace_once(content ${source}
        "       startCommand = enet_peer_queue_incoming_command (peer, & hostCommand, packet, fragmentCount);\n       if (startCommand == NULL)\n         return -1;\n"
        "       startCommand = enet_peer_queue_incoming_command (peer, & hostCommand, packet, fragmentCount);\n       if (startCommand == NULL)\n         return -1;\n       peer -> totalWaitingData += totalLength;\n")
      quor_replace_once(content ${source}
        "    channel = & peer -> channels [command -> header.channelID];\n    reliableSequenceNumber = command -> header.reliableSequenceNumber;\n    startSequenceNumber"
        "    return 0;\n\n    channel = & peer -> channels [command -> header.channelID];\n    reliableSequenceNumber = command -> header.reliableSequenceNumber;\n    startSequenceNumber")
    endif()
    get_filename_component(folder "${patched}/${source}" DIRECTORY)
    file(MAKE_DIRECTORY "${folder}")
    quor_write_if_changed("${patched}/${source}" "${content}")
  endforeach()
endfunction()
