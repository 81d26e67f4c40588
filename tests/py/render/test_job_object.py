"""The video renders set up as a RenderJob for the host's render job: the same set-up, the same
checked file and meta as the synchronous call, and everything taken back however it ends."""

import pytest

from fakebpy import write_file, write_mp4, write_video
from fakebpy.objects import add_mesh, add_objects, data_names

NOT_WRITTEN = "渲染未能写出文件，请检查磁盘空间（{}）"


@pytest.fixture
def clip(tmp_path):
    (tmp_path / "in").mkdir()
    return write_file(str(tmp_path / "in" / "clip.mp4"))


def calls(fake, clip):
    """kind -> (the synchronous function, the staging one, their arguments)."""
    scene = fake.context.scene
    return {
        "animation": ("render_animation", "stage_animation",
                      (scene, scene.camera, 640, 16, 9, 1, 12)),
        "turntable": ("render_turntable", "stage_turntable", (scene, "Bar", 640, 16, 9, 1)),
        "video": ("transcode_local_video", "stage_local_video", (clip, 640)),
    }


@pytest.fixture
def host(fake):
    add_objects(fake)
    add_mesh(fake, "Bar", (0, -0.5, 0), (4, 0.5, 1), location=(3, 2, 0.5))
    fake.context.scene.camera = fake.context.scene.objects.get("Camera")
    fake.clip.update(frames=12)
    fake.log.clear()
    return fake


def state(fake):
    return (fake.context.scene.snapshot(), fake.data.scenes.names(), data_names(fake))


@pytest.mark.parametrize("kind", ["animation", "turntable", "video"])
def test_job_finishes_as_the_synchronous_call(render, host, tmpdir_files, clip, kind):
    sync, staging, args = calls(host, clip)[kind]
    before = state(host)
    host.on_render = write_video(".mp4")
    expected_meta = getattr(render, sync)(*args)[1]
    assert state(host) == before
    job = getattr(render, staging)(*args)
    assert state(host) != before  # set up, waiting for the host's render job
    assert job.frames == expected_meta["frames"] or kind == "video"
    rendered = [s for s in host.data.scenes if s.name == job.scene.name]
    assert rendered and job.render_kwargs["animation"] is True
    host.on_render(job.render_kwargs, job.scene)
    path, meta = job.finish()
    assert meta == expected_meta and path.endswith(".mp4")
    assert state(host) == before
    job.abandon()  # nothing left to take back
    assert state(host) == before


# What the stopped render left: nothing, the frames done as a whole file, or a cut file.
@pytest.mark.parametrize("left, error", [(None, None), ("whole", None), ("cut", NOT_WRITTEN)])
@pytest.mark.parametrize("kind", ["animation", "turntable", "video"])
def test_stopped_job_takes_back_and_tells_a_stop_from_a_failed_write(render, host, tmpdir_files,
                                                                     clip, kind, left, error):
    _, staging, args = calls(host, clip)[kind]
    before = state(host)
    job = getattr(render, staging)(*args)
    out = job.scene.render.filepath + ".mp4"
    r = job.scene.render
    if left == "whole":
        write_mp4(out, size=(r.resolution_x, r.resolution_y), frames=3)
    elif left == "cut":
        data = open(write_mp4(out, size=(r.resolution_x, r.resolution_y)), "rb").read()
        write_file(out, data[:len(data) // 2])
    if error:
        with pytest.raises(RuntimeError) as info:
            job.stop()
        assert str(info.value) == error.format(tmpdir_files)
    else:
        assert job.stop() is None
    assert state(host) == before


def test_abandoned_job_takes_back_every_step_even_when_one_fails(render, host, tmpdir_files):
    before = state(host)
    job = render.stage_turntable(host.context.scene, "Bar", 640, 16, 9, 1)
    host.fail_on("render.engine", TypeError("rejected"), nth=2)  # the guard's first write
    with pytest.raises(TypeError, match="rejected"):
        job.abandon()
    snapshot, scenes, data = state(host)
    assert (scenes, data) == before[1:]  # the camera it made is gone all the same
    assert snapshot != before[0]
