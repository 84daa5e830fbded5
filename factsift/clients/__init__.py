"""factsift's client layer: the one place that knows the client package.

``factsift.factsift.AISummary`` builds a new client for every request,
``OpenAI(base_url=..., api_key=...)``, through the module global ``OpenAI``.
That keeps calls independent and makes a changed ``base_url`` or ``api_key``
take effect at once, but a real ``openai.OpenAI`` costs milliseconds of CPU
to build (an SSL context, an HTTP connection pool) and is thrown away after
one request, kept-alive connections and all. In a batch of many short
requests on several threads, that construction becomes the bottleneck, and
it runs with the GIL held.

``share_clients()`` replaces the module global with a factory that hands out
one client per ``(base_url, api_key)`` pair, built on first use from the
``OpenAI`` that was installed before, and returns the same client for every
later request with that pair::

    from factsift import clients
    clients.share_clients()      # one client per (base_url, api_key) from now on
    ...
    clients.unshare_clients()    # back to a new client per request

    with clients.shared_clients():
        ...                      # shared inside the block only

Options for every client (retries, a time-out, an HTTP client with event
hooks) go in the same way, through the module global, inside a block::

    with clients.client_options(max_retries=5, timeout=30), clients.shared_clients():
        ...                      # shared clients, each built with those options

Enter ``client_options`` first: a sharing factory passes calls with other
options through unshared. A batch run (``factsift.batch``) does all of this
with ``configured()``, which also watches what each input's requests used,
for the run's own threads only: while runs are open the module global
dispatches each call to the factory of the run whose thread makes it, and
every other call to what sharing and ``client_options`` set
(factsift.clients._seam). With the real client package a run's clients send
through factsift's own HTTP transport (``_transport``: each request bounded as
a whole by the time-out, each reply's body by ``MAX_REPLY_BYTES``, and the
environment's proxies). A usage whose counts are not sane (``usage_problem``)
is kept in the record but told to neither the sums nor the limits.

Settings are still read at every call: an instance whose ``base_url`` or
``api_key`` changes gets (or builds) the other pair's client, and
``model_id`` is passed with each request anyway.

Things to know:

* A shared client is used by several threads at once. ``openai.OpenAI``
  allows that; a replacement ``OpenAI`` installed
  before sharing must allow it too.
* Clients are kept while sharing is on, one per distinct pair seen, and are
  not closed when it ends (a request may still be using one); they go when
  the last reference does. A program that cycles through many keys keeps
  them all: call ``clear()`` on the factory now and then, or don't share.
* Values that cannot be dictionary keys (a list as ``base_url``) are not
  shared: such calls get a new client each, as without sharing. Pairs are
  told apart by type as well as value, so ``1`` and ``True`` never share.
* A forked child starts with no clients: a connection pool must not be used
  by two processes.

A run through the service's batch interface (factsift.batchapi) has the
module make its requests with ``recording()`` in place, and its records
from the batch's replies with ``replaying()``; ``BatchService`` uploads the
files and drives the batches, with a ``service_client()``.
"""

from factsift.clients._seam import run_base
from factsift.clients._batches import BatchService, Refused, ServiceError
from factsift.clients._replay import Expected, Recorder, Replayer, ReplayMismatch, recording, replaying
from factsift.clients._refusals import retry_after
from factsift.clients._run import ClientSettings, Pacer, RunClients, Seen, Tally, Watched, configured
from factsift.usage import MAX_TOKENS, usage_problem
from factsift.clients._service import plain, service_client, status_of, transient
from factsift.clients._sharing import (SharedClients, client_options, share_clients, shared_clients,
                                       unshare_clients)

__all__ = ["run_base", "SharedClients", "share_clients", "unshare_clients", "shared_clients", "client_options",
           "ClientSettings", "Pacer", "RunClients", "Seen", "Tally", "Watched", "configured", "retry_after",
           "MAX_TOKENS", "usage_problem",
           "Expected", "Recorder", "Replayer", "ReplayMismatch", "recording", "replaying",
           "plain", "service_client", "status_of", "transient", "BatchService", "Refused", "ServiceError"]
